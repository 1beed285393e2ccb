#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/seeds/<target>/.

Targets that read their input through FuzzedDataProvider take strings from the front (ended by
a backslash and one other byte) and numbers from the back (the last byte is read first), with
the rest of the input in the middle; the helpers below lay out seeds that way.
"""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "seeds")
LOGIN_CODE = b"3c9a1f07d2b84e65a0c7f19e2d3b5a8c4e6f0a1b2c3d4e5f"
LOGIN_HEAD = b'<?xml version="1.0" encoding="UTF-8"?>\n<login api="zav-01" result="'
LOGIN_MIDDLE = b'">\n<text><![CDATA['
LOGIN_TAIL = b"]]></text></login>"


def text(s):
    """A string as ConsumeRandomLengthString reads it, with its terminator."""
    return s.replace(b"\\", b"\\\\") + b"\\x"


def u8(n):
    return bytes([n & 0xFF])


def u32(n):
    # Read from the back, most significant byte first.
    return struct.pack("<I", n)


def u64(n):
    return struct.pack("<Q", n)


class Seed:
    """Front part, middle (the rest), and the numbers in the order the target reads them."""

    def __init__(self):
        self.front = b""
        self.back = []  # byte strings, in reading order

    def string(self, s):
        self.front += text(s)
        return self

    def num(self, b):
        self.back.append(b)
        return self

    def build(self, rest=b""):
        return self.front + rest + b"".join(reversed(self.back))


def write(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def cp949(s):
    return s.encode("cp949")


CONFIG = (b"MAX_UPLOAD_LIMIT=20<br>DOWNLOAD_INTERVAL=10<br>DOWNLOAD_ADDPOINT_ENABLE=N<br>"
          b"DOWNLOAD_DEFAULT_SIZE=20<br>SIZE_FOR_ADDPOINT=5<br>POINT_FOR_DNLOAD=10<br>"
          b"POINT_FOR_EXCEED=1<br>POINT_FOR_WDB=0<br>CRRT_VERSION=1.2")
DU = b"+OK<br>Fonts=0|Interface=1234|WDB=55|WTF=987654|LASTUPLOAD=2010-07-06 15:16:00|Data=988943"


def split_text():
    t = "split_text_fuzzer"
    # delimiter; then text; numbers: copy flag, capacity, index (read index first).
    def seed(delim, body, index, cap, copy):
        return Seed().string(delim).num(u8(index + 2)).num(u8(cap)).num(u8(copy)).build(body)
    write(t, "config", seed(b"<br>", CONFIG, 3, 99, 1))
    write(t, "item", seed(b"=", b"MAX_UPLOAD_LIMIT=20", 1, 49, 1))
    write(t, "path", seed(b"/", b"/home/gamer/Games/WoW/", 2, 60, 1))
    write(t, "count", seed(b"|", DU[7:], 0, 0, 0))
    write(t, "cut_last", seed(b"<br>", b"A=1<br>" + b"B" * 120, 1, 20, 1))


def server_config():
    t = "server_config_fuzzer"
    write(t, "service", CONFIG)
    write(t, "old_version", CONFIG.replace(b"=1.2", b"=1.1"))
    write(t, "korean_value", b"DOWNLOAD_ADDPOINT_ENABLE=" + cp949("예") + b"<br>CRRT_VERSION=1.2")
    write(t, "overflow", b"MAX_UPLOAD_LIMIT=99999999999<br>DOWNLOAD_INTERVAL=-40000000<br>"
          b"POINT_FOR_WDB=  +7x<br><br>==<br>CRRT_VERSION=1.2")


def auth_reply():
    t = "auth_reply_fuzzer"
    write(t, "du", DU)
    write(t, "du_empty", b"+OK<br>Fonts=0|Interface=0|WDB=0|WTF=0|LASTUPLOAD=|Data=0")
    write(t, "removeall", b"+OK<br>")
    write(t, "freespace", b"+OK<br>42%")
    write(t, "freespace_full", b"+OK<br>99%")
    write(t, "refused", b"-ERR 403 <br>\r\n" + cp949("로그인 정보가 없습니다. 프로그램에서 다시 로그인하십시오."))
    write(t, "cut_items", b"+OK<br>" + b"N" * 60 + b"=" + b"7" * 60 + b"|A==5|=|B=|||")


def account_status():
    t = "account_status_fuzzer"
    write(t, "du", DU)
    write(t, "du_empty", b"+OK<br>Fonts=0|Interface=0|WDB=0|WTF=0|LASTUPLOAD=|Data=0")
    write(t, "du_large", b"+OK<br>Fonts=2147483647|Interface=99999999999|WDB=-5|WTF=+12x|"
          b"LASTUPLOAD=2026-12-31 23:59:59|Data=0")
    write(t, "du_short_date", b"+OK<br>LASTUPLOAD=2010-7|WTF=1")
    write(t, "refused", b"-ERR 403 <br>\r\n" + cp949("로그인 정보가 없습니다."))
    write(t, "failure", b"<html>500</html>")


def login_reply():
    t = "login_reply_fuzzer"
    def reply(status, payload):
        return LOGIN_HEAD + status + LOGIN_MIDDLE + payload + LOGIN_TAIL
    write(t, "ok", reply(b"OK", "데모게이머".encode()))
    write(t, "err", reply(b"ERR", "아이디 또는 비밀번호가 올바르지 않습니다.".encode()))
    write(t, "long", reply(b"OK", "가".encode() * 70))
    write(t, "fields", text(b"gamer01") + text("비밀번호".encode()))


def multipart_body(boundary, parts, closing=b"--"):
    body = b""
    for name, filename, data in parts:
        body += b"--" + boundary + b"\r\n"
        body += b'Content-Disposition: form-data; name="' + name + b'"'
        if filename is not None:
            body += b'; filename="' + filename + b'"'
        body += b"\r\nContent-Type: application/x-zip-compressed\r\n\r\n" + data + b"\r\n"
    return body + b"--" + boundary + closing + b"\r\n"


ZIP = b"PK\x05\x06" + b"\x00" * 18


def service_multipart():
    t = "service_multipart_fuzzer"
    b = b"---------------------------7d93b11a0b24"
    ct = b"multipart/form-data; boundary=" + b
    two = [(b"UserFile001", b"__Interface.zip", ZIP),
           (b"UserFile002", b"__WTF.zip", b"PK\r\n--x" + ZIP)]
    write(t, "standard", Seed().string(ct).num(u32(0x00000005)).build(multipart_body(b, two)))
    # The desktop client ends with "--BOUNDARY" and an empty line.
    client = multipart_body(b, two, closing=b"")[:-2] + b"\r\n\r\n"
    write(t, "client", Seed().string(ct).num(u32(0x12345601)).build(client))
    write(t, "quoted", Seed().string(b'multipart/form-data, boundary="a;b\\"c"')
          .num(u32(0xFFFFFFFF)).build(multipart_body(b'a;b"c', [(b"UserFile004", b"a\\\"b", b"")])))
    write(t, "preamble", Seed().string(ct).num(u32(0x00000040)).build(
        b"preamble\r\n" + multipart_body(b, [(b"other", None, b"x" * 300)]) + b"epilogue"))


def service_handler():
    t = "service_handler_fuzzer"
    # Numbers in reading order: route, logged in, IPv6-mapped address, piece seed, then the
    # route's own.
    def head(route, logged_in=1, mapped=0, seed=7):
        return Seed().num(u8(route)).num(u8(logged_in)).num(u8(mapped)).num(u32(seed))
    write(t, "config", head(0).build())
    write(t, "du", head(1).num(u8(1)).build(b"mode=du&id=gamer01"))
    write(t, "freespace", head(1, 0).num(u8(0)).build(b"mode=freespace"))
    write(t, "removeall", head(1).num(u8(1)).build(b"mode=removeall&id=gamer01"))
    write(t, "du_not_bound", head(1, 0, 1).num(u8(1)).build(b"mode=du&id=gamer01"))
    b = b"zavboundary"
    body = multipart_body(b, [(b"UserFile002", b"__WTF.zip", ZIP),
                            (b"UserFile004", b"__Fonts.zip", ZIP * 3)])
    # userid: the member (1); type: "multipart/form-data; boundary=" added (1).
    write(t, "upload", head(2, seed=0x00FF0003).num(u8(1)).string(b"zavboundary").num(u8(1))
          .num(u8(1)).build(body))
    write(t, "upload_client", head(2).num(u8(1)).string(b"zavboundary").num(u8(1)).num(u8(0))
          .build(multipart_body(b, [(b"UserFile001", b"__Interface.zip", ZIP)], b"")[:-2] +
                 b"\r\n\r\n"))
    write(t, "download", head(3).num(u8(1)).build(b"__WTF.zip"))
    write(t, "download_other", head(3).num(u8(0)).string(b"nobody").build(b"__Fonts.zip"))
    write(t, "login", head(4).num(u8(1)).num(u8(1)).build(b"zavdemo"))
    write(t, "login_wrong", head(4).num(u8(1)).num(u8(0)).build(b"wrong"))
    write(t, "login_raw", head(4).num(u8(0)).num(u8(1)).build(
        b"code=" + LOGIN_CODE + b"&id=" + cp949("게이머") + b"&pw=a&b=c"))


def saved_variables():
    t = "saved_variables_fuzzer"
    # The text, then one byte for the size of the pieces it is fed in.
    sv = ('\nWeakAurasSaved = {\n\t["displays"] = {\n\t\t["달빛궁수 - 하늘바다"] = {\n'
          '\t\t\t["load"] = { ["size"] = { ["multi"] = {} } },\n'
          '\t\t\t["customText"] = "function()\\n\\treturn \\"%p\\" --[[x]] end",\n'
          '\t\t\t["regionType"] = \'text\', ["alpha"] = 1e-05, [12] = -3,\n'
          '\t\t},\n\t},\n}\n').encode()
    write(t, "complete", sv + u8(7))
    write(t, "cut_table", sv[:len(sv) // 2] + u8(3))
    write(t, "cut_string", sv[:sv.index(b"%p") + 1] + u8(1))
    write(t, "long_brackets", b"X = { [==[ a ]] ]=] ]==], [[b]] } --[=[ c ]] ]=]\n-- d {" + u8(5))
    write(t, "escapes", b'X = { "a\\z\n  b\\\r\nc\\065\\x41\\"\\\\", \'\\\'\' }' + u8(2))
    write(t, "empty", b" \r\n\t\x00\x00" + u8(64))
    # Damage: a zeroed page (in code, and inside a long string), a NUL run just short of what
    # marks a string as damaged, a stray closing brace.
    big = sv * 20
    write(t, "zeroed_page", big[:3000] + b"\x00" * 4096 + big[7096:] + u8(64))
    write(t, "zeroed_long_string", b"X = { [==[" + b"\x00" * 4096 + b"]==] }\n" + u8(13))
    write(t, "short_nul_run", b"X = { 'a" + b"\x00" * 511 + b"', [[" + b"\x00" * 300 + b"]"
          + b"\x00" * 300 + b"]] } -- \x00\n" + u8(9))
    write(t, "stray_brace", b"X = {\n\t[1] = {},\n}\n}\nY = {}\n" + u8(4))


def service_head():
    # The first byte chooses the piece size the head is fed in.
    t = "service_head_fuzzer"
    write(t, "get_range", u8(5) + b"GET /Kelpo/html/logo.html HTTP/1.1\r\nHost: x\r\n"
          b"Range: bytes=0-5\r\n\r\nbody")
    write(t, "post_forwarded", u8(3) + b"POST /Kelpo/html/post.php?userid=a HTTP/1.0\r\n"
          b"Content-Length: 3\r\nX-Forwarded-For: 1.2.3.4, ::ffff:10.0.0.1\r\n\r\nabc")
    write(t, "many_fields", u8(1) + b"GET / HTTP/1.1\r\n" + b"A: b\r\n" * 12 + b"\r\n")
    # Found by the fuzzer: an overlong field line that a bare LF ends later; refused alike
    # whatever pieces it arrives in.
    write(t, "overlong_line_then_bare_lf", u8(1) + b"GET / HTTP/1.1\r\nX-F: " + b"\xeb" * 300
          + b"\n\r\n")


def page_banner():
    # The page's address on the first line, then the page.
    t = "page_banner_fuzzer"
    write(t, "logo", b"http://127.0.0.1:8080/Kelpo/html/logo.html\n<!DOCTYPE html>\n<html><head>"
          b"<style>img{display:block;width:288px;height:96px}p{text-align:center;color:#1d628a;"
          b"line-height:40px}</style></head><body><img src=\"logo.png\" width=\"288\" "
          b"height=\"96\" alt=\"ZAV\"><p>" + "게임 설정".encode() + b"</p></body></html>\n")
    write(t, "links", b"https://h/a/b/c\n<a href='../x?y#z'><img src=//cdn/i.gif></a>"
          b"<a href=javascript:1>j</a><p align=right style='color:rgb(1,2,3)'>&#xD55C;&amp;</p>")
    write(t, "cp949", b"http://h/\n<p>" + cp949("한글 배너") + b"</p><script><p>x</p></script>")


def service_chunk():
    t = "service_chunk_fuzzer"
    write(t, "two_chunks", u8(2) + b"5\r\nhello\r\nA;ext=1\r\n0123456789\r\n0\r\n\r\n")
    write(t, "endless_size_line", u8(7) + b"1" * 400)


def service_s3_list():
    t = "service_s3_list_fuzzer"
    head = (b'<?xml version="1.0" encoding="UTF-8"?>\n<ListBucketResult '
            b'xmlns="http://s3.amazonaws.com/doc/2006-03-01/"><Name>zav</Name>'
            b"<Prefix>z/u/</Prefix><KeyCount>2</KeyCount><MaxKeys>1000</MaxKeys>")
    objects = (b"<Contents><Key>z/u/gamer01/1765000000000-ab/__WTF.zip</Key>"
               b"<LastModified>2026-12-10T03:00:00.000Z</LastModified><ETag>&quot;x&quot;"
               b"</ETag><Size>1204</Size><StorageClass>STANDARD</StorageClass></Contents>"
               b"<Contents><Key>z/u/gamer02/1765000000001-cd/__WDB.zip</Key><Size>99</Size>"
               b"</Contents>")
    write(t, "first_of_two", head + b"<IsTruncated>true</IsTruncated><NextContinuationToken>"
          b"dG9rZW4=</NextContinuationToken>" + objects + b"</ListBucketResult>")
    write(t, "last", head + b"<IsTruncated>false</IsTruncated>" + objects
          + b"</ListBucketResult>\n")


if __name__ == "__main__":
    split_text()
    server_config()
    auth_reply()
    account_status()
    login_reply()
    service_multipart()
    service_handler()
    saved_variables()
    service_head()
    page_banner()
    service_chunk()
    service_s3_list()
