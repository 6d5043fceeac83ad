/* An example REXX application: the server runs this file for a request and the script
   writes the whole answer itself through qmsSAY. Its first argument word names the
   session. */
parse arg session .
call qmsSAY session, 'HTTP/1.1 200 OK'
call qmsSAY session, 'Content-Type: text/html; charset=utf-8'
call qmsSAY session, 'Connection: close'
call qmsSAY session, ''
call qmsSAY session, '<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">'
call qmsSAY session, '<meta name="viewport" content="width=device-width, initial-scale=1">'
call qmsSAY session, '<title>REXX application example</title></head><body>'
call qmsSAY session, '<h1>Hello from REXX</h1>'
call qmsSAY session, '<p>Request: ' || html(qmsVAR(session, '%(http.request.method)')) || ' ',
  || html(qmsVAR(session, '%(http.request.uri)')) || '</p>'
call qmsSAY session, '</body></html>'
return 0

/* Text from the request, made safe for HTML. */
html: procedure
  parse arg text
  text = changestr('&', text, '&amp;')
  text = changestr('<', text, '&lt;')
  text = changestr('>', text, '&gt;')
  return changestr('"', text, '&quot;')
