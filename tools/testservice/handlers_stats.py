"""Statistics server and companion-service endpoints of the local test service.

GET  /tapis           the statistics report: answers 200 "ok"; the record gets
                      "statistic": the query as ordered [name, value] pairs.
POST /pc/ud/dogsun    the uninstall report: form field "data" is Base64 of the
                      Blowfish-ECB (zero-padded) JSON body under the report key.
                      The record gets "decoded": {"text", "json"} or {"error"}.
                      The reply is the same codec's text of
                      {"code":0,"msg":"ok","mid2":<the body's mid2>} (code 1 and
                      no mid2 when the body cannot be read).

Blowfish is written out here (its tables are the hexadecimal digits of pi,
computed at import), so the service needs nothing beyond the standard library.
"""

import base64
import binascii
import json
import sys
import urllib.parse

STATISTICS_PATH = "/tapis"
COMPANION_PATH = "/pc/ud/dogsun"
UNINSTALL_REPORT_KEY = b"4e7d0a15-8b62-4f3c-a1d8-3c90b4e6f271"


def _service_module():
    # service.py usually runs as __main__; a test may also import it as "service".
    for name in ("__main__", "service"):
        module = sys.modules.get(name)
        if module is not None and hasattr(module, "ENDPOINTS") and hasattr(module, "Recorder"):
            return module
    raise ImportError("handlers_stats must be imported by service.py")


service = _service_module()


# ---- Blowfish (ECB) ---------------------------------------------------------

def _pi_fraction_words(count):
    """The first `count` 32-bit words of pi's fractional part (Machin's formula)."""
    guard = 64
    bits = 32 * count + guard
    one = 1 << bits

    def arctan_inverse(x):
        term = one // x
        total, x_squared, n, sign = term, x * x, 1, -1
        while term:
            term //= x_squared
            n += 2
            total += sign * (term // n)
            sign = -sign
        return total

    pi = 16 * arctan_inverse(5) - 4 * arctan_inverse(239)
    fraction = (pi - (3 << bits)) >> guard
    return [(fraction >> (32 * (count - 1 - i))) & 0xFFFFFFFF for i in range(count)]


_PI_WORDS = _pi_fraction_words(18 + 4 * 256)
assert _PI_WORDS[0] == 0x243F6A88 and _PI_WORDS[18] == 0xD1310BA6


class Blowfish:
    def __init__(self, key):
        if not key:
            raise ValueError("empty Blowfish key")
        self.p = list(_PI_WORDS[:18])
        self.s = [list(_PI_WORDS[18 + 256 * i:18 + 256 * (i + 1)]) for i in range(4)]
        position = 0
        for i in range(18):
            word = 0
            for _ in range(4):
                word = (word << 8) | key[position]
                position = (position + 1) % len(key)
            self.p[i] ^= word
        left = right = 0
        for i in range(0, 18, 2):
            left, right = self._encrypt_words(left, right)
            self.p[i], self.p[i + 1] = left, right
        for box in self.s:
            for i in range(0, 256, 2):
                left, right = self._encrypt_words(left, right)
                box[i], box[i + 1] = left, right

    def _f(self, x):
        s = self.s
        h = (s[0][x >> 24] + s[1][(x >> 16) & 0xFF]) & 0xFFFFFFFF
        return ((h ^ s[2][(x >> 8) & 0xFF]) + s[3][x & 0xFF]) & 0xFFFFFFFF

    def _encrypt_words(self, left, right, order=None):
        p = self.p if order is None else order
        for i in range(16):
            left ^= p[i]
            right ^= self._f(left)
            left, right = right, left
        left, right = right, left
        right ^= p[16]
        left ^= p[17]
        return left, right

    def _run(self, data, order):
        if len(data) % 8:
            raise ValueError("Blowfish data must be whole 8-byte blocks")
        out = bytearray()
        for start in range(0, len(data), 8):
            left = int.from_bytes(data[start:start + 4], "big")
            right = int.from_bytes(data[start + 4:start + 8], "big")
            left, right = self._encrypt_words(left, right, order)
            out += left.to_bytes(4, "big") + right.to_bytes(4, "big")
        return bytes(out)

    def encrypt(self, data):
        return self._run(data, self.p)

    def decrypt(self, data):
        return self._run(data, self.p[::-1])


def encrypt_text(plain, key):
    """Zero-pad to whole blocks, Blowfish-ECB, one Base64 line."""
    if len(plain) % 8:
        plain += b"\0" * (8 - len(plain) % 8)
    return base64.b64encode(Blowfish(key).encrypt(plain)).decode("ascii")


def decrypt_text(text, key):
    """Inverse of encrypt_text, without the zero padding. ValueError on bad input."""
    try:
        cipher = base64.b64decode(text.encode("ascii"), validate=True)
    except (binascii.Error, UnicodeEncodeError) as error:
        raise ValueError("not Base64: %s" % error)
    if not cipher:
        raise ValueError("empty cipher text")
    return Blowfish(key).decrypt(cipher).split(b"\0", 1)[0]


# ---- Recording the decoded payloads ------------------------------------------

def _decode_statistic(record):
    record["statistic"] = urllib.parse.parse_qsl(record.get("query", ""), keep_blank_values=True)


def _decode_companion(record):
    values = (record.get("form") or {}).get("data") or []
    if not values:
        record["decoded"] = {"error": "no data field"}
        return
    try:
        text = decrypt_text(values[0], UNINSTALL_REPORT_KEY).decode("utf-8")
        record["decoded"] = {"text": text, "json": json.loads(text)}
    except ValueError as error:  # also UnicodeDecodeError and JSONDecodeError
        record["decoded"] = {"error": str(error)}


service.DECODERS.update({STATISTICS_PATH: _decode_statistic, COMPANION_PATH: _decode_companion})


# ---- Endpoints -----------------------------------------------------------------

@service.endpoint(STATISTICS_PATH)
def statistic_report(request):
    return service.Reply({"status": 200, "body": "ok"})


@service.endpoint(COMPANION_PATH)
def uninstall_report(request):
    # The recorder has already attached the decoded body to this request.
    body = (request.get("decoded") or {}).get("json")
    if isinstance(body, dict) and isinstance(body.get("mid2"), str):
        reply = {"code": 0, "msg": "ok", "mid2": body["mid2"]}
    else:
        reply = {"code": 1, "msg": "bad data"}
    text = json.dumps(reply, separators=(",", ":")).encode("utf-8")
    return service.Reply({"status": 200, "body": encrypt_text(text, UNINSTALL_REPORT_KEY)})
