/* connectfilter.rexx - hookOnConnect: turns clients away by address.
 *
 *   [SMTP]
 *   hookOnConnect=scripts/connectfilter.rexx 10.* 192.168.1.? *.example.net
 *
 * The arguments are patterns ("*" any run of characters, "?" one character, case does
 * not matter), matched against the client's address and host name. A client that
 * matches one of them gets a reply that fits the protocol and is disconnected; anyone
 * else goes on. The rejection is written to the service log.
 */
parse arg session patterns
address = qmsVAR(session, '%(remoteip)')
host = qmsVAR(session, '%(remotehost)')
do i = 1 to words(patterns)
  pattern = word(patterns, i)
  if Match(translate(pattern), translate(address)) | Match(translate(pattern), translate(host)) then do
    call qmsLOG session, 'connectfilter: 'address' ('host') matches 'pattern
    return Reply(qmsVAR(session, '%(configsection)'))
  end
end
return 0

/* The rejection in the protocol's own words, chosen by the service's section name. */
Reply: procedure
  parse upper arg section
  select
    when abbrev(section, 'SMTP') then return '554 5.7.1 Access denied'
    when abbrev(section, 'POP') then return '-ERR Access denied'
    when abbrev(section, 'IMAP') then return '* BYE Access denied'
    when abbrev(section, 'FTP') then return '421 Access denied'
    otherwise return '554 Access denied'
  end

/* Wildcard match: "*" any run of characters, "?" exactly one. */
Match: procedure
  parse arg pattern, text
  if pattern == '' then return text == ''
  first = left(pattern, 1)
  if first == '*' then do
    rest = substr(pattern, 2)
    do k = 1 to length(text) + 1
      if Match(rest, substr(text, k)) then return 1
    end
    return 0
  end
  if text == '' then return 0
  if first \== '?' & first \== left(text, 1) then return 0
  return Match(substr(pattern, 2), substr(text, 2))
