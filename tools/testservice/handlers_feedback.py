"""Feedback-service and install-statistics endpoints of the local test service.

GET  /live/intf/getUninstallOptions   {"errno":0,"data":"1,3,4"}
GET  /live/intf/GetConfig             {"errno":0,"data":{"uninstall_questionnaire":
                                        {"status":"1","url":"http://HOST/questionnaire/uninstall"}}}
                                      (HOST: the Host header the request came with)
GET  /questionnaire/uninstall         a small HTML page (the address above)
POST /live/uninstall/addUninstallReason  {"errno":0,"msg":"ok"}
POST /live/uninstall/sendSmsCode      {"errno":0,"msg":"ok"}; errno 1 without a phone
POST /live/uninstall/getBdouByUninstall  {"errno":0,"msg":"ok","data":{"openid_encrypt_self":
                                        "openid-PHONE","openkey":"openkey-PHONE"}};
                                      errno 1 without phone or code
POST /live/uninstall/addFeedback      {"errno":0,"msg":"ok"}; errno 1 when every field is empty
POST /inst/uninst.php?from=tapis      {"errno":0}; form field "unint_ask" is Base64
                                      (CR LF lines) of DES-ECB (PKCS#5) under "qivantor"

The recorder gets "decoded" for each of these requests:
  configuration reads: {"query": [[name, value], ...]}
  feedback posts:      {"fields": [[name, value], ...]} in the order sent, values
                       read as UTF-8 (addUninstallReason) or as the ANSI code page
                       936 (the three input-window requests)
  the answer upload:   {"unint_ask": text, "json": object} or {"error": why}
                       (an empty "unint_ask" gives {"unint_ask": "", "empty": true})

DES is written out here so the service needs nothing beyond the standard library.
"""

import base64
import binascii
import json
import sys
import urllib.parse

OPTIONS_PATH = "/live/intf/getUninstallOptions"
CONFIG_PATH = "/live/intf/GetConfig"
QUESTIONNAIRE_PAGE_PATH = "/questionnaire/uninstall"
REASON_PATH = "/live/uninstall/addUninstallReason"
SMS_CODE_PATH = "/live/uninstall/sendSmsCode"
BEANS_PATH = "/live/uninstall/getBdouByUninstall"
FEEDBACK_PATH = "/live/uninstall/addFeedback"
ANSWER_PATH = "/inst/uninst.php"
ANSWER_KEY = b"qivantor"


def _service_module():
    # service.py usually runs as __main__; a test may also import it as "service".
    for name in ("__main__", "service"):
        module = sys.modules.get(name)
        if module is not None and hasattr(module, "ENDPOINTS") and hasattr(module, "Recorder"):
            return module
    raise ImportError("handlers_feedback must be imported by service.py")


service = _service_module()


# ---- DES (FIPS 46-3), ECB -------------------------------------------------------

_IP = [58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
       62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
       57, 49, 41, 33, 25, 17, 9, 1, 59, 51, 43, 35, 27, 19, 11, 3,
       61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7]
_FP = [40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
       38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
       36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
       34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9, 49, 17, 57, 25]
_E = [32, 1, 2, 3, 4, 5, 4, 5, 6, 7, 8, 9, 8, 9, 10, 11, 12, 13, 12, 13, 14, 15, 16, 17,
      16, 17, 18, 19, 20, 21, 20, 21, 22, 23, 24, 25, 24, 25, 26, 27, 28, 29, 28, 29, 30, 31, 32, 1]
_P = [16, 7, 20, 21, 29, 12, 28, 17, 1, 15, 23, 26, 5, 18, 31, 10,
      2, 8, 24, 14, 32, 27, 3, 9, 19, 13, 30, 6, 22, 11, 4, 25]
_PC1 = [57, 49, 41, 33, 25, 17, 9, 1, 58, 50, 42, 34, 26, 18,
        10, 2, 59, 51, 43, 35, 27, 19, 11, 3, 60, 52, 44, 36,
        63, 55, 47, 39, 31, 23, 15, 7, 62, 54, 46, 38, 30, 22,
        14, 6, 61, 53, 45, 37, 29, 21, 13, 5, 28, 20, 12, 4]
_PC2 = [14, 17, 11, 24, 1, 5, 3, 28, 15, 6, 21, 10, 23, 19, 12, 4, 26, 8,
        16, 7, 27, 20, 13, 2, 41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
        44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32]
_SHIFTS = [1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1]
_S = [
    [14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7, 0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8,
     4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0, 15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13],
    [15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10, 3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5,
     0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15, 13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9],
    [10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8, 13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1,
     13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7, 1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12],
    [7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15, 13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9,
     10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4, 3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14],
    [2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9, 14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6,
     4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14, 11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3],
    [12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11, 10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8,
     9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6, 4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13],
    [4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1, 13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6,
     1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2, 6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12],
    [13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7, 1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2,
     7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8, 2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11],
]


def _permute(value, table, width):
    """Bit i of the result (from the left) is bit table[i] of value (from the left, 1-based)."""
    out = 0
    for position in table:
        out = (out << 1) | ((value >> (width - position)) & 1)
    return out


def _subkeys(key):
    if len(key) != 8:
        raise ValueError("a DES key is 8 bytes")
    cd = _permute(int.from_bytes(key, "big"), _PC1, 64)
    c, d = cd >> 28, cd & 0x0FFFFFFF
    keys = []
    for shift in _SHIFTS:
        c = ((c << shift) | (c >> (28 - shift))) & 0x0FFFFFFF
        d = ((d << shift) | (d >> (28 - shift))) & 0x0FFFFFFF
        keys.append(_permute((c << 28) | d, _PC2, 56))
    return keys


def _feistel(right, subkey):
    x = _permute(right, _E, 32) ^ subkey
    out = 0
    for box in range(8):
        six = (x >> (42 - 6 * box)) & 0x3F
        row = ((six >> 4) & 2) | (six & 1)
        out = (out << 4) | _S[box][row * 16 + ((six >> 1) & 0xF)]
    return _permute(out, _P, 32)


def _des_blocks(data, subkeys):
    if len(data) % 8:
        raise ValueError("DES data must be whole 8-byte blocks")
    out = bytearray()
    for start in range(0, len(data), 8):
        block = _permute(int.from_bytes(data[start:start + 8], "big"), _IP, 64)
        left, right = block >> 32, block & 0xFFFFFFFF
        for subkey in subkeys:
            left, right = right, left ^ _feistel(right, subkey)
        out += _permute((right << 32) | left, _FP, 64).to_bytes(8, "big")
    return bytes(out)


def des_encrypt(data, key):
    return _des_blocks(data, _subkeys(key))


def des_decrypt(data, key):
    return _des_blocks(data, _subkeys(key)[::-1])


# Published single-block test vector (key 133457799BBCDFF1).
assert des_encrypt(bytes.fromhex("0123456789ABCDEF"), bytes.fromhex("133457799BBCDFF1")) == \
    bytes.fromhex("85E813540F0AB405")


def encrypt_answer(text, key=ANSWER_KEY):
    """The uploader's codec: UTF-8, PKCS#5, DES-ECB, Base64 in 76-character CR LF lines."""
    plain = text.encode("utf-8")
    pad = 8 - len(plain) % 8
    encoded = base64.b64encode(des_encrypt(plain + bytes([pad]) * pad, key)).decode("ascii")
    lines = [encoded[i:i + 76] for i in range(0, len(encoded), 76)]
    return "".join(line + "\r\n" if len(line) == 76 else line for line in lines)


def decrypt_answer(text, key=ANSWER_KEY):
    """Inverse of encrypt_answer. ValueError for anything that is not such a text."""
    lines = text.split("\r\n")
    if any(len(line) != 76 for line in lines[:-1]) or len(lines[-1]) > 76:
        raise ValueError("not in 76-character CR LF lines")
    try:
        cipher = base64.b64decode("".join(lines).encode("ascii"), validate=True)
    except (binascii.Error, UnicodeEncodeError) as error:
        raise ValueError("not Base64: %s" % error)
    if not cipher or len(cipher) % 8:
        raise ValueError("cipher text is not whole DES blocks")
    plain = des_decrypt(cipher, key)
    pad = plain[-1]
    if not 1 <= pad <= 8 or plain[-pad:] != bytes([pad]) * pad:
        raise ValueError("bad PKCS#5 padding")
    return plain[:-pad].decode("utf-8")


# ---- Recording the decoded payloads ----------------------------------------------

def _ordered_fields(record, encoding):
    """Form fields in the order sent, the values decoded from their bytes."""
    body = base64.b64decode(record.get("body_b64") or "")
    pairs = urllib.parse.parse_qsl(body.decode("latin-1"), keep_blank_values=True, encoding="latin-1")
    return [[name.encode("latin-1").decode(encoding, errors="replace"),
             value.encode("latin-1").decode(encoding, errors="replace")] for name, value in pairs]


def _decode_query(record):
    record["decoded"] = {"query": urllib.parse.parse_qsl(record.get("query", ""), keep_blank_values=True)}


def _decode_utf8_form(record):
    record["decoded"] = {"fields": _ordered_fields(record, "utf-8")}


def _decode_ansi_form(record):
    record["decoded"] = {"fields": _ordered_fields(record, "gbk")}


def _decode_answer(record):
    values = (record.get("form") or {}).get("unint_ask")
    if not values:
        record["decoded"] = {"error": "no unint_ask field"}
        return
    if values[0] == "":
        record["decoded"] = {"unint_ask": "", "empty": True}
        return
    try:
        text = decrypt_answer(values[0])
    except ValueError as error:  # also UnicodeDecodeError
        record["decoded"] = {"error": str(error)}
        return
    try:
        record["decoded"] = {"unint_ask": text, "json": json.loads(text)}
    except ValueError as error:
        record["decoded"] = {"unint_ask": text, "error": "not JSON: %s" % error}


service.DECODERS.update({
    OPTIONS_PATH: _decode_query,
    CONFIG_PATH: _decode_query,
    REASON_PATH: _decode_utf8_form,
    SMS_CODE_PATH: _decode_ansi_form,
    BEANS_PATH: _decode_ansi_form,
    FEEDBACK_PATH: _decode_ansi_form,
    ANSWER_PATH: _decode_answer,
})


# ---- Endpoints -------------------------------------------------------------------

def _json(value):
    return service.Reply({"status": 200, "json": value})


def _field(request, name):
    values = (request.get("form") or {}).get(name) or [""]
    return values[0]


@service.endpoint(OPTIONS_PATH)
def uninstall_options(request):
    return _json({"errno": 0, "data": "1,3,4"})


@service.endpoint(CONFIG_PATH)
def uninstall_config(request):
    host = (request.get("headers") or {}).get("Host") or "127.0.0.1"
    url = "http://%s%s" % (host, QUESTIONNAIRE_PAGE_PATH)
    return _json({"errno": 0, "data": {"uninstall_questionnaire": {"status": "1", "url": url}}})


@service.endpoint(QUESTIONNAIRE_PAGE_PATH)
def questionnaire_page(request):
    page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Lumora</title></head>" \
           "<body><h1>卸载问卷</h1><p>感谢您的反馈。</p></body></html>"
    return service.Reply({"status": 200, "body": page, "headers": {"Content-Type": "text/html; charset=utf-8"}})


@service.endpoint(REASON_PATH)
def add_uninstall_reason(request):
    return _json({"errno": 0, "msg": "ok"})


@service.endpoint(SMS_CODE_PATH)
def send_sms_code(request):
    if not _field(request, "phone"):
        return _json({"errno": 1, "msg": "请输入手机号"})
    return _json({"errno": 0, "msg": "ok"})


@service.endpoint(BEANS_PATH)
def get_beans(request):
    phone, code = _field(request, "phone"), _field(request, "code")
    if not phone or not code:
        return _json({"errno": 1, "msg": "验证码错误"})
    return _json({"errno": 0, "msg": "ok",
                  "data": {"openid_encrypt_self": "openid-" + phone, "openkey": "openkey-" + phone}})


@service.endpoint(FEEDBACK_PATH)
def add_feedback(request):
    if not any(_field(request, name) for name in ("phone", "weixin", "qq", "email")):
        return _json({"errno": 1, "msg": "请输入您的联系方式"})
    return _json({"errno": 0, "msg": "ok"})


@service.endpoint(ANSWER_PATH)
def uninstall_answer(request):
    return _json({"errno": 0})
