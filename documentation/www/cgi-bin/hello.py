#!/usr/bin/env python3
"""An example CGI program in Python: answers the form fields of a GET or POST request."""
import html
import os
import sys
from urllib.parse import parse_qsl

method = os.environ.get("REQUEST_METHOD", "GET")
fields = parse_qsl(os.environ.get("QUERY_STRING", ""), keep_blank_values=True)
if method == "POST":
    length = int(os.environ.get("CONTENT_LENGTH") or 0)
    fields += parse_qsl(sys.stdin.buffer.read(length).decode("utf-8", "replace"),
                        keep_blank_values=True)
rows = "".join("<tr><td>%s</td><td>%s</td></tr>\n" % (html.escape(k), html.escape(v))
               for k, v in fields)
sys.stdout.write("Content-Type: text/html; charset=utf-8\r\n\r\n")
sys.stdout.write("""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Python CGI example</title></head><body>
<h1>Hello from Python</h1>
<p>%s request from %s</p>
<table><tr><th>Field</th><th>Value</th></tr>
%s</table>
</body></html>
""" % (html.escape(method), html.escape(os.environ.get("REMOTE_ADDR", "")), rows))
