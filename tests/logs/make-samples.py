#!/usr/bin/env python3
"""Writes the log samples of this folder: the shapes `refwarden replay` must
read, as IIS, its Advanced Logging module, Apache and nginx write them, and
broken or hostile files. tests/ReplayShapesTest.cpp holds the counts each
must give. Run it in this folder; the output is the same every time."""
import gzip

UA_CHROME = ("Mozilla/5.0+(Windows+NT+10.0;+Win64;+x64)+AppleWebKit/537.36+(KHTML,+like+Gecko)"
             "+Chrome/124.0.0.0+Safari/537.36")
UA_SAFARI = ("Mozilla/5.0+(Macintosh;+Intel+Mac+OS+X+14_4)+AppleWebKit/605.1.15+(KHTML,+like+Gecko)"
             "+Version/17.4+Safari/605.1.15")
FIELDS = "#Fields: date time s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip cs(User-Agent)"
FIELDS_HOST = FIELDS + " cs(Referer) cs-host sc-status sc-substatus sc-win32-status time-taken"
FIELDS_DEFAULT = FIELDS + " cs(Referer) sc-status sc-substatus sc-win32-status time-taken"
FIELDS_NOREF = FIELDS + " cs-host sc-status sc-substatus sc-win32-status time-taken"


def head(date, fields):
    return ["#Software: Microsoft Internet Information Services 10.0", "#Version: 1.0",
            f"#Date: {date}", fields]


def crlf(lines):  # IIS ends its lines with CR LF
    return ("\r\n".join(lines) + "\r\n").encode("utf-8")


def write(name, data):
    with open(name, "wb") as f:
        f.write(data)


def gz(data):
    return gzip.compress(data, mtime=0)


# IIS 10 with cs-host; after a restart the directives come again.
write("u_ex240501.log", crlf(head("2024-05-01 00:00:01", FIELDS_HOST) + [
    f"2024-05-01 00:00:01 10.0.0.5 GET /index.html - 443 - 203.0.113.7 {UA_CHROME} - www.example.com 200 0 0 31",
    f"2024-05-01 00:00:01 10.0.0.5 GET /images/harbour.jpg - 443 - 203.0.113.7 {UA_CHROME} https://www.example.com/index.html www.example.com 200 0 0 12",
    f"2024-05-01 00:00:02 10.0.0.5 GET /images/harbour.jpg w=640 443 - 198.51.100.23 {UA_SAFARI} https://forum.example.net/t/1234 www.example.com 200 0 0 9",
    f"2024-05-01 00:00:03 10.0.0.5 GET /images/meadow.png - 443 - 198.51.100.23 {UA_SAFARI} - www.example.com 200 0 0 7",
    f"2024-05-01 00:00:04 10.0.0.5 GET /css/site.css v=3 443 - 203.0.113.7 {UA_CHROME} https://www.example.com/index.html www.example.com 200 0 0 2",
    f"2024-05-01 00:00:05 10.0.0.5 GET /images/PHOTO.JPG - 443 - 192.0.2.44 {UA_CHROME} http://images.search.example/?q=harbour www.example.com 404 0 2 1",
    f"2024-05-01 00:00:06 10.0.0.5 HEAD /images/balloon.gif - 80 - 192.0.2.44 curl/8.4.0 http://www.example.com.evil.example/copy.html www.example.com 200 0 0 1",
] + head("2024-05-01 06:00:00", FIELDS_HOST) + [
    f"2024-05-01 06:00:00 10.0.0.5 GET /images/lighthouse.bmp - 443 - 203.0.113.8 {UA_CHROME} https://www.example.com:443/gallery www.example.com 200 0 0 4",
    f"2024-05-01 06:00:01 10.0.0.5 GET /robots.txt - 443 - 66.249.66.1 Mozilla/5.0+(compatible;+Googlebot/2.1) - www.example.com 404 0 2 0",
]))

# UTF-8 logging: a byte-order mark first, and a path in UTF-8.
write("u_ex240502.log", b"\xef\xbb\xbf" + crlf(head("2024-05-02 00:00:00", FIELDS_HOST) + [
    f"2024-05-02 00:00:01 10.0.0.5 GET /images/café.jpg - 443 - 203.0.113.7 {UA_CHROME} https://forum.example.net/t/9 www.example.com 200 0 0 5",
    f"2024-05-02 00:00:02 10.0.0.5 GET /images/café.jpg - 443 - 203.0.113.9 {UA_SAFARI} https://www.example.com/ www.example.com 200 0 0 3",
    f"2024-05-02 00:00:03 10.0.0.5 GET /blog/ - 443 - 203.0.113.9 {UA_SAFARI} - www.example.com 200 0 0 8",
]))

# Advanced Logging: quoted values with blanks, two blanks after "#Fields:",
# local date and time, cs(Host), #Start-Date and #End-Date.
A_CHROME = '"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/124.0.0.0 Safari/537.36"'
A_SAFARI = '"Mozilla/5.0 (Macintosh; Intel Mac OS X 14_4) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.4 Safari/605.1.15"'
A_FIREFOX = '"Mozilla/5.0 (X11; Linux x86_64; rv:125.0) Gecko/20100101 Firefox/125.0"'
A_IPHONE = '"Mozilla/5.0 (iPhone; CPU iPhone OS 17_4 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.4 Mobile/15E148 Safari/604.1"'
write("advanced-logging_20240503.log", crlf([
    "#Software: IIS Advanced Logging Module",
    "#Version: 1.0",
    "#Start-Date: 2024-05-03 00:00:00.000",
    "#Fields:  date-local time-local s-computername cs-method cs-uri-stem cs-uri-query cs(Host) cs(Referer) cs(User-Agent) sc-status TimeTakenMS",
    f'2024-05-03 00:00:00.137 WEB01 GET /images/harbour.jpg - "www.example.com" "https://forum.example.net/t/77" {A_CHROME} 200 15',
    f'2024-05-03 00:00:01.002 WEB01 GET /images/harbour.jpg - "www.example.com" "https://www.example.com/gallery/" {A_SAFARI} 200 3',
    f'2024-05-03 00:00:02.411 WEB01 GET /images/meadow.png - "www.example.com" - {A_FIREFOX} 304 1',
    f'2024-05-03 00:00:03.950 WEB01 GET /gallery/ page=2 "www.example.com" "https://www.example.com/" {A_IPHONE} 200 42',
    '2024-05-03 00:00:04.018 WEB01 GET /images/balloon.gif - "www.example.com" "https://social.example/feed?ref=""share""" "Bot ""quoted"" 1.0" 200 2',
    "#End-Date: 2024-05-03 00:00:05.000",
]))

# An administrator dropped cs(Referer) from the logging fields.
write("noreferer_u_ex240504.log", crlf(head("2024-05-04 00:00:00", FIELDS_NOREF) + [
    f"2024-05-04 00:00:01 10.0.0.5 GET /images/harbour.jpg - 443 - 203.0.113.7 {UA_CHROME} www.example.com 200 0 0 5",
    f"2024-05-04 00:00:02 10.0.0.5 GET /index.html - 443 - 203.0.113.7 {UA_CHROME} www.example.com 200 0 0 5",
    f"2024-05-04 00:00:03 10.0.0.5 GET /images/meadow.png - 443 - 203.0.113.7 {UA_CHROME} www.example.com 200 0 0 5",
]))

# IIS 10's default fields, which have no cs-host.
write("default-fields_u_ex240510.log", crlf(head("2024-05-10 00:00:00", FIELDS_DEFAULT) + [
    f"2024-05-10 00:00:01 10.0.0.5 GET /images/harbour.jpg - 443 - 203.0.113.7 {UA_CHROME} https://forum.example.net/t/5 200 0 0 5",
    f"2024-05-10 00:00:02 10.0.0.5 GET /images/harbour.jpg - 443 - 203.0.113.7 {UA_CHROME} https://www.example.com/ 200 0 0 5",
]))

# A raw NUL inside a path.
write("nul_u_ex240506.log", crlf(head("2024-05-06 00:00:00", FIELDS_HOST) + [
    f"2024-05-06 00:00:01 10.0.0.5 GET /images/harbour.jpg - 443 - 203.0.113.7 {UA_CHROME} https://forum.example.net/ www.example.com 200 0 0 5",
    f"2024-05-06 00:00:02 10.0.0.5 GET /images/harbour.jpg\0.aspx - 443 - 203.0.113.7 {UA_CHROME} https://forum.example.net/ www.example.com 404 0 2 5",
    f"2024-05-06 00:00:03 10.0.0.5 GET /index.html - 443 - 203.0.113.7 {UA_CHROME} - www.example.com 200 0 0 5",
]))

# Apache combined; a TLS handshake sent to the plain port is logged escaped.
UA = '"Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/124.0.0.0 Safari/537.36"'
write("access.log", ("\n".join([
    f'203.0.113.7 - - [05/May/2024:10:00:00 +0000] "GET /images/harbour.jpg HTTP/1.1" 200 48213 "https://forum.example.net/t/1234" {UA}',
    f'203.0.113.7 - - [05/May/2024:10:00:01 +0000] "GET /images/harbour.jpg HTTP/1.1" 304 - "https://www.example.com/" {UA}',
    '198.51.100.2 - - [05/May/2024:10:00:02 +0000] "GET /index.html HTTP/1.1" 200 5120 "-" "curl/8.4.0"',
    '198.51.100.2 - - [05/May/2024:10:00:03 +0000] "\\x16\\x03\\x01\\x02\\x00\\x01\\x00\\x01\\xfc\\x03\\x03" 400 226 "-" "-"',
    '192.0.2.1 - frank [05/May/2024:10:00:04 +0000] "GET /images/balloon.gif?size=small HTTP/2.0" 200 1024 "-" "Mozilla/5.0"',
]) + "\n").encode())

# nginx combined with $http_x_forwarded_for, rotated: gzip of two members.
write("access.log.2.gz", gz(
    b'192.0.2.10 - - [04/May/2024:23:59:58 +0000] "GET /images/meadow.png HTTP/1.1" 200 3051 "https://blog.example.org/post?id=7" "Mozilla/5.0 (X11; Linux x86_64; rv:125.0) Gecko/20100101 Firefox/125.0" "-"\n'
) + gz(
    b'192.0.2.11 - - [04/May/2024:23:59:59 +0000] "GET /feed.xml HTTP/1.1" 200 913 "-" "FeedFetcher/1.0" "203.0.113.50"\n'
    b'192.0.2.12 - - [05/May/2024:00:00:00 +0000] "GET /images/lighthouse.bmp HTTP/1.1" 200 9000 "https://www.example.com/gallery/" "Mozilla/5.0" "-"\n'
))

# Hostile: escapes that would paint on a terminal, an escaped NUL.
write("access-hostile.log", ("\n".join([
    '203.0.113.66 - - [05/May/2024:11:00:00 +0000] "GET /images/\\x1b[2J\\x1b[1;1HREPLAY-OK.jpg HTTP/1.1" 404 196 "http://attacker.example/\\x1b]0;owned\\x07" "-"',
    '203.0.113.66 - - [05/May/2024:11:00:01 +0000] "GET /images/a.jpg\\x00.php HTTP/1.1" 404 196 "-" "-"',
    '203.0.113.66 - - [05/May/2024:11:00:02 +0000] "GET /images/%E2%80%AE.png HTTP/1.1" 404 196 "-" "-"',
]) + "\n").encode())

# A 70,000-byte query in the middle (line 6).
write("longline_u_ex240507.log.gz", gz(crlf(head("2024-05-07 00:00:00", FIELDS_HOST) + [
    f"2024-05-07 00:00:01 10.0.0.5 GET /images/harbour.jpg - 443 - 203.0.113.7 {UA_CHROME} https://forum.example.net/ www.example.com 200 0 0 5",
    f"2024-05-07 00:00:02 10.0.0.5 GET /search q={'A' * 70000} 443 - 203.0.113.7 {UA_CHROME} - www.example.com 414 0 0 5",
    f"2024-05-07 00:00:03 10.0.0.5 GET /images/meadow.png - 443 - 203.0.113.7 {UA_CHROME} https://www.example.com/ www.example.com 200 0 0 5",
])))

# Cut short: the first member is whole (two requests), the second stops
# inside its first line.
write("truncated_u_ex240508.log.gz", gz(crlf(head("2024-05-08 00:00:00", FIELDS_HOST) + [
    f"2024-05-08 00:00:01 10.0.0.5 GET /images/harbour.jpg - 443 - 203.0.113.7 {UA_CHROME} https://forum.example.net/ www.example.com 200 0 0 5",
    f"2024-05-08 00:00:02 10.0.0.5 GET /images/harbour.jpg - 443 - 203.0.113.7 {UA_CHROME} https://www.example.com/ www.example.com 200 0 0 5",
])) + gz(crlf([
    f"2024-05-08 00:00:{s:02} 10.0.0.5 GET /images/meadow.png - 443 - 203.0.113.7 {UA_CHROME} https://forum.example.net/ www.example.com 200 0 0 5"
    for s in range(3, 60)
]))[:24])

# Plain lines appended after a gzip member.
write("appended_u_ex240509.log.gz", gz(crlf(head("2024-05-09 00:00:00", FIELDS_HOST) + [
    f"2024-05-09 00:00:01 10.0.0.5 GET /images/harbour.jpg - 443 - 203.0.113.7 {UA_CHROME} https://forum.example.net/ www.example.com 200 0 0 5",
    f"2024-05-09 00:00:02 10.0.0.5 GET /index.html - 443 - 203.0.113.7 {UA_CHROME} - www.example.com 200 0 0 5",
])) + crlf([
    f"2024-05-09 00:00:03 10.0.0.5 GET /images/meadow.png - 443 - 203.0.113.7 {UA_CHROME} - www.example.com 200 0 0 5",
]))

# A shop's own visitors under other names of the site, past midnight (UTC);
# a URL and a Host longer than the filter's 4,096-byte buffers.
SHOP = "www.shop.example"
LONG_STEM = "/images/" + "x" * 4100 + ".jpg"
LONG_HOST = "h" * 4085 + ".shop.example"
def shop(time, stem, referer, host=SHOP):
    return f"{time} 10.0.0.5 GET {stem} - 443 - 203.0.113.7 {UA_CHROME} {referer} {host} 200 0 0 5"
write("aliases_u_ex240511.log", crlf(head("2024-05-11 23:59:00", FIELDS_HOST) + [
    shop("2024-05-11 23:59:00", "/index.html", "-"),
    shop("2024-05-11 23:59:01", "/images/a.jpg", "https://www.shop.example/"),
    shop("2024-05-11 23:59:02", "/images/a.jpg", "https://www.shop.example:443/gallery"),
    shop("2024-05-11 23:59:03", "/images/b.png", "https://WWW.SHOP.EXAMPLE/x"),
    shop("2024-05-11 23:59:04", "/images/b.png", "https://www.shop.example"),
    shop("2024-05-11 23:59:05", "/images/c.gif", "https://shop.example/"),
    shop("2024-05-11 23:59:06", "/images/c.gif", "https://shop.example/sale"),
    shop("2024-05-11 23:59:07", "/images/c.gif", "https://img.shop.example/"),
    shop("2024-05-11 23:59:08", "/images/a.jpg", "-"),
    shop("2024-05-11 23:59:09", "/images/a.jpg", "http://shop.example@evil.example/"),
    shop("2024-05-12 00:00:00", "/images/a.jpg", "https://forum.example.net/t/1"),
    shop("2024-05-12 00:00:01", LONG_STEM, "https://forum.example.net/t/1"),
    shop("2024-05-12 00:00:02", "/images/a.jpg", "https://forum.example.net/t/2", LONG_HOST),
    shop("2024-05-12 00:00:03", "/images/b.png", "-"),
# A W3C log whose header block was cut off (tail -n +5): no #Fields, so it
# is not a log replay can read, and is named as such.
write("headerless_u_ex240512.log", crlf([
    f"2024-05-12 00:00:01 10.0.0.5 GET /images/harbour.jpg - 443 - 203.0.113.7 {UA_CHROME} https://forum.example.net/ www.example.com 200 0 0 5",
    f"2024-05-12 00:00:02 10.0.0.5 GET /index.html - 443 - 203.0.113.7 {UA_CHROME} - www.example.com 200 0 0 5",
]))
