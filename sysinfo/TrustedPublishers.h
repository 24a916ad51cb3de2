// The product's publishers: the simple display names of the certificates with
// which they sign the files the uninstaller may load or start.
#pragma once

#include <cstddef>

extern const wchar_t* const kTrustedPublisherNames[];
extern const size_t kTrustedPublisherCount;

// True when `name` is one of the publishers, ignoring case; false for null.
bool IsTrustedPublisherName(const wchar_t* name);
