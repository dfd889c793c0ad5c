# Winelib tree: ELF programs (.exe.so) that use the Win32 API through Wine and may link Linux
# libraries (libixion, liborcus, libxlsxwriter). Used by the spreadsheet stand-in.
set(CMAKE_C_COMPILER winegcc)
set(CMAKE_CXX_COMPILER wineg++)
get_filename_component(_tessarel_top "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR "${_tessarel_top}/scripts/wine-test")
