/* cmdlogger.rexx - hookOnCommand: writes every command a client sends to the service log.
 *
 *   [POP3]
 *   hookOnCommand=scripts/cmdlogger.rexx
 *
 * Works for SMTP, POP3 and FTP. The script receives the session, the arguments of the
 * setting (none here) and the command line; passwords are not written. It returns
 * nothing, so the command is carried out as the client sent it.
 */
parse arg session verb rest
if translate(verb) = 'PASS' then rest = '(hidden)'
call qmsLOG session, 'cmdlogger: 'qmsVAR(session, '%(remoteip)')': 'strip(verb rest)
return ''
