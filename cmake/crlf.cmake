# Copies a text file with Windows line ends (CR LF), whatever line ends it had,
# ending in exactly one line end.
#   cmake -DIN=file -DOUT=file -P crlf.cmake
file(READ ${IN} text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REGEX REPLACE "\n+$" "" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUT} "${text}\r\n")
