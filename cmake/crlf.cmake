# cmake -DINPUT=<file> -DOUTPUT=<file> -P crlf.cmake: a copy of a text file with CR LF line
# ends, as Notepad on Windows NT needs them.
file(READ ${INPUT} text)
string(REPLACE "\r\n" "\n" text "${text}")
string(REPLACE "\n" "\r\n" text "${text}")
file(WRITE ${OUTPUT} "${text}")
