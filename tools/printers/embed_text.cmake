# Writes a header holding the text of IN as a constant named NAME, in OUT:
# cmake -DIN=... -DOUT=... -DNAME=... -P embed_text.cmake
file(READ ${IN} text)
file(WRITE ${OUT} "// Generated from ${IN}; edit that file.\n#pragma once\n\n"
  "inline constexpr const char ${NAME}[] = R\"EMBEDDED(${text})EMBEDDED\";\n")
