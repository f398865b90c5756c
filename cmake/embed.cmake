# cmake -DINPUT=<file> -DTEMPLATE=<file.in> -DOUTPUT=<file> -P embed.cmake: the template with
# @HALSHIFT_EMBEDDED_BYTES@ replaced by the input's bytes as a C list ("0x41,0x42,").
file(READ ${INPUT} bytes HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," HALSHIFT_EMBEDDED_BYTES "${bytes}")
configure_file(${TEMPLATE} ${OUTPUT} @ONLY)
