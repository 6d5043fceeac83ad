/* greeting.rexx - a personal greeting ahead of a reply, sent with qmsSAY.
 *
 * Name it as the upper-case companion of a reply in a message file, for example in
 * messages/smtp/smtp.res:
 *
 *   220a=220 %(localhost) ESMTP ready
 *   220A=scripts/greeting.rexx
 *
 * The server runs the script with the session, then the reply line, before it sends the
 * reply. The script sends its lines as continuation lines of that reply ("220-...") and
 * returns nothing, so nothing else is added. Replies of SMTP and FTP may have such lines;
 * POP3 and IMAP4 replies may not.
 */
parse arg session reply
code = left(reply, 3)
if \datatype(code, 'W') then return ''
call qmsSAY session, code'-Hello' qmsVAR(session, '%(remotehost) [%(remoteip)]')','
call qmsSAY session, code'-this is' qmsVAR(session, '%(version) on %(localhost)')','
call qmsSAY session, code'-local time' qmsVAR(session, '%(date) %(time)')'.'
return ''
