#pragma once
// Board inspection through the access library: live dumps of BAR 0 and of the
// configuration space, the write-back of ConfigShadow, its file copy, and
// byte copies to and from BAR space and the mapped board memory.
//
// Every operation needs the board opened and mapped (InitPcieDllAccess);
// without it the operation says so on the message row and touches nothing.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Directory for the configuration-space files; empty (the default) means the
// current directory, which start-up makes the program's working folder.
// Tests point it elsewhere.
extern std::string ConfigShadowDirectory;

// Writes ConfigShadow back to the board when the board's device ID equals the
// shadow's (bytes 2 and 3); otherwise reports "Device does not match". Only
// the ConfigShadowValid bytes that were really read are written: a copy that
// holds part of the space writes that part and says so, since zeros written
// over the rest (the capability list) would take the board off the bus.
// Returns whether the whole copy was written.
bool RestoreConfigSpace();
// The ConfigShadowValid bytes of ConfigShadow (all 256 after a whole read)
// at the start of the file (created when missing, not truncated). Returns
// whether they were written; an empty copy writes no file.
bool SaveConfigShadow(std::string_view fileName);
// Up to 256 bytes from the start of the file into ConfigShadow; a shorter
// file leaves the rest as it was. A missing file is not created. Returns
// whether the file could be read.
bool LoadConfigShadow(std::string_view fileName);
// The path a file name of the two above stands for.
std::string ConfigShadowPath(std::string_view fileName);

// Byte copies with mapped board memory at BoardMemBase + offset, one byte
// access at a time in ascending order. A count of 0 or less copies nothing; a
// count beyond the buffer is reported and copies nothing.
bool ReadBoardBytes(std::uint32_t offset, std::int32_t count, std::span<std::uint8_t> buffer);
bool WriteBoardBytes(std::uint32_t offset, std::int32_t count,
                     std::span<const std::uint8_t> buffer);
// buffer[i] = ReadB(offset + i, bar), and WriteB(buffer[i], offset + i, bar),
// for i below count, with the same checks; a library without ReadB or WriteB
// is reported.
bool BarReadBytes(std::span<std::uint8_t> buffer, std::int32_t count, std::uint32_t offset,
                  std::int32_t bar);
bool BarWriteBytes(std::span<const std::uint8_t> buffer, std::int32_t count, std::uint32_t offset,
                   std::int32_t bar);

// Live dump of BAR 0 (0x0000 to 0x1FFF), read with ReadB and redrawn without
// pause; "F" freezes it until the next key; "Q" and Esc leave.
void BarDumpScreen();
// Dump of the configuration space (0x00 to 0xFF); "Q" and Esc leave.
void ConfigDumpScreen();
