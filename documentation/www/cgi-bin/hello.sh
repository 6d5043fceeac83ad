#!/bin/sh
# An example CGI program in shell: shows the request it received. Query and form fields
# are printed as the client sent them (HTML-escaped), never evaluated.
esc() { sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' -e 's/"/\&quot;/g'; }
body=""
if [ "$REQUEST_METHOD" = "POST" ] && [ -n "$CONTENT_LENGTH" ]; then
  body=$(head -c "$CONTENT_LENGTH")
fi
printf 'Content-Type: text/html; charset=utf-8\r\n\r\n'
printf '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">\n'
printf '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
printf '<title>Shell CGI example</title></head><body>\n<h1>Hello from a shell script</h1>\n<dl>\n'
for name in REQUEST_METHOD QUERY_STRING REMOTE_ADDR SERVER_NAME SERVER_PORT SCRIPT_NAME HTTP_USER_AGENT; do
  eval "value=\${$name:-}"
  printf '<dt>%s</dt><dd>%s</dd>\n' "$name" "$(printf '%s' "$value" | esc)"
done
printf '<dt>Body</dt><dd>%s</dd>\n</dl>\n</body></html>\n' "$(printf '%s' "$body" | esc)"
