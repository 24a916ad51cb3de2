# Test signing is set up by tools/make-test-certs.sh.
function(lumora_sign target)
endfunction()
