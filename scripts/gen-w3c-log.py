#!/usr/bin/env python3
"""Writes a W3C extended access log of N made-up requests to standard output,
for measuring `refwarden replay`. The mix: about half image requests, a
quarter of them referred from foreign sites or with no referer.

With --unique-paths LENGTH every request instead asks for an image path of its
own, LENGTH bytes long, from a foreign site: the worst case for the replay's
tables of rewritten paths (and for the trace).

With --pages N the page requests ask for N distinct paths instead of nine,
a few of them often and most of them rarely (the index is log-uniform, as
with Zipf's law): a site larger than the replay's memory of traced paths.

Usage: scripts/gen-w3c-log.py [LINES] [--host HOST] [--unique-paths LENGTH] [--pages N] > u_ex.log
"""
import argparse
import random
import sys

parser = argparse.ArgumentParser()
parser.add_argument("lines", type=int, nargs="?", default=1_000_000)
parser.add_argument("--host", default="www.example.com")
parser.add_argument("--seed", type=int, default=1)
parser.add_argument("--unique-paths", type=int, default=0, metavar="LENGTH")
parser.add_argument("--pages", type=int, default=0, metavar="N")
args = parser.parse_args()
rng = random.Random(args.seed)

pages = ["/", "/index.html", "/about.html", "/blog/2024/05/harbour.html", "/css/site.css",
         "/js/app.js", "/favicon.ico", "/search", "/feed.xml"]
images = [f"/images/{d}/{n}.{e}" for d in ("2023", "2024", "gallery", "thumbs")
          for n in ("harbour", "balloon", "meadow", "lighthouse", "IMG_0042", "a.jpg", "b")
          for e in ("jpg", "gif", "png", "bmp", "JPG", "webp")]
foreign = ["http://forum.example.net/t/1234", "https://blog.example.org/post?id=7",
           "http://images.search.example/?q=harbour+at+night", "https://social.example/feed",
           "http://www.example.com.evil.example/copy.html"]
own = [f"http://{args.host}/", f"http://{args.host}/blog/2024/05/harbour.html",
       f"https://{args.host}/gallery?page=2"]

out = sys.stdout
out.write("#Software: Microsoft Internet Information Services 10.0\n#Version: 1.0\n"
          "#Date: 2024-05-01 00:00:00\n"
          "#Fields: date time s-ip cs-method cs-uri-stem cs-uri-query s-port cs-username c-ip "
          "cs(User-Agent) cs(Referer) cs-host sc-status sc-substatus sc-win32-status time-taken\n")
agent = "Mozilla/5.0+(Windows+NT+10.0;+Win64;+x64)+AppleWebKit/537.36+(KHTML,+like+Gecko)"
if args.unique_paths:
    filler = "p" * max(0, args.unique_paths - len("/images/") - len(".jpg") - 10)
    for i in range(args.lines):
        s = i % 86400
        out.write(f"2024-05-01 {s // 3600:02}:{s // 60 % 60:02}:{s % 60:02} 10.0.0.5 GET "
                  f"/images/{i:010d}{filler}.jpg - 80 - 203.0.113.{i % 250} {agent} "
                  f"{foreign[i % len(foreign)]} {args.host} 200 0 0 1\n")
    sys.exit(0)
for i in range(args.lines):
    if rng.random() < 0.5:
        stem = rng.choice(images)
        r = rng.random()
        referer = rng.choice(foreign) if r < 0.2 else "-" if r < 0.25 else rng.choice(own)
    elif args.pages:
        stem = f"/articles/{int(args.pages ** rng.random()) - 1:07d}/index.html"
        referer = rng.choice(own) if rng.random() < 0.7 else "-"
    else:
        stem = rng.choice(pages)
        referer = rng.choice(own) if rng.random() < 0.7 else "-"
    query = f"v={rng.randrange(100)}" if rng.random() < 0.1 else "-"
    s = i % 86400
    out.write(f"2024-05-01 {s // 3600:02}:{s // 60 % 60:02}:{s % 60:02} 10.0.0.5 GET {stem} {query} 80 - "
              f"203.0.113.{i % 250} {agent} {referer} {args.host} 200 0 0 {rng.randrange(1, 90)}\n")
