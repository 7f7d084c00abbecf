# Writes OUTPUT, a C++ source that holds the bytes of SETUP and LAUNCHER as
# the arrays builtin_programs.cpp reads: cmake -DSETUP=.. -DLAUNCHER=.. -DOUTPUT=.. -P
function(append_array name file)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n" bytes "${bytes}")
  file(APPEND "${OUTPUT}.new" "extern const unsigned char ${name}[] = {\n${bytes}};\nextern const unsigned long long ${name}Size = ${size};\n")
endfunction()

file(WRITE "${OUTPUT}.new" "// Generated from the built programs; not edited by hand.\n")
append_array(kBuiltInSetupProgram "${SETUP}")
append_array(kBuiltInLauncher "${LAUNCHER}")
file(RENAME "${OUTPUT}.new" "${OUTPUT}")
