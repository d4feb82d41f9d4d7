// A small detailed map shared by the report tests and the log fuzz target: two code units,
// four publics, one line block; code base 0x00401000 in the tests.
#pragma once

namespace ostrel::cli {

inline constexpr char kSmallMapText[] =
    "\r\n"
    " Start         Length     Name                   Class\r\n"
    " 0001:00000000 00000200H .text                   CODE\r\n"
    "\r\n"
    "\r\n"
    "Detailed map of segments\r\n"
    "\r\n"
    " 0001:00000000 00000100 C=CODE     S=.text    G=(none)   M=System   ACBP=A9\r\n"
    " 0001:00000100 00000080 C=CODE     S=.text    G=(none)   M=Unit1    ACBP=A9\r\n"
    "\r\n"
    "\r\n"
    "  Address         Publics by Value\r\n"
    "\r\n"
    " 0001:00000000       Alpha\r\n"
    " 0001:00000040       Beta\r\n"
    " 0001:00000100       Gamma\r\n"
    " 0001:00000150       Delta\r\n"
    "\r\n"
    "\r\n"
    "Line numbers for Unit1(C:\\src\\Unit1.pas) segment .text\r\n"
    "\r\n"
    "    10 0001:00000100    11 0001:00000110    12 0001:00000120    14 0001:00000170\r\n"
    "\r\n"
    "Bound resource files\r\n"
    "\r\n"
    "Program entry point at 0001:00000100\r\n";


}  // namespace ostrel::cli
