/* motd.rexx - chooses the file whose lines go ahead of a reply.
 *
 *   220a=220 %(localhost) ready
 *   220A=scripts/motd.rexx messages/motd
 *
 * Returns the name of the first file that exists of <folder>/<client address>.txt and
 * <folder>/default.txt; the server sends its lines ahead of the reply. Returning "0"
 * sends no lines.
 */
parse arg session folder reply
if folder = '' then return 0
file = folder'/'qmsVAR(session, '%(remoteip)')'.txt'
if stream(file, 'c', 'query exists') \= '' then return file
file = folder'/default.txt'
if stream(file, 'c', 'query exists') \= '' then return file
return 0
