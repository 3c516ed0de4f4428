// The library's commands over a platform. The exported C functions hand
// each call the platform of the moment; tests hand in their own.
//
// Every command builds one request block on the stack, sends it with one
// platform request and returns; nothing is kept between calls. A command on
// a handle <= 0 sends nothing and fails (0 is "no device", and descriptor 0
// is standard input). Caller values that become CDB bytes keep their low
// 8 bits only.
#pragma once

#include <cstdint>

#include "platform.h"

namespace sarnik::cmd {

// Opening: the index-th present unit of the class; a descriptor > 0 or 0.
// The log file is recreated empty, then holds the unit's path and a newline
// once the unit is found, whether or not it opens. When the log cannot be
// rewritten nothing is opened: 0, errno EACCES and a line on stderr.
int32_t open_unit(Platform& p, UnitClass cls, int32_t index);

// Standard commands.
int32_t test_unit_ready(Platform& p, int32_t h);
int32_t read10(Platform& p, int32_t h, int32_t count, int32_t lba, void* buffer);
int32_t write10(Platform& p, int32_t h, int32_t count, int32_t lba, void* buffer);
int32_t read_capacity10(Platform& p, int32_t h, void* buffer);
int32_t eject(Platform& p, int32_t h, int32_t opcode, int32_t byte4);
int32_t mode_sense(Platform& p, int32_t h);
// Byte count of the drive layout in a 40-byte area: 8 for a medium without
// partitions, 40 for one partition; 0 when the layout cannot be read or does
// not fit (two partitions or more), as the Windows request fails then.
int32_t drive_layout(Platform& p, int32_t h);
int32_t rescan(Platform& p, int32_t h);

// Vendor command templates.
int32_t vendor_r(Platform& p, int32_t h, int32_t c0, void* buffer);
int32_t vendor_w(Platform& p, int32_t h, int32_t c0, int32_t length, void* buffer);
int32_t vendor(Platform& p, int32_t h, int32_t c0, int32_t c1, int32_t c2, int32_t length);
int32_t vendor_scan(Platform& p, int32_t h, const int32_t (&c)[6], int32_t length, void* buffer);
int32_t write_1m(Platform& p, int32_t h, const int32_t (&c)[13], void* buffer);
int32_t read_1m(Platform& p, int32_t h, const int32_t (&c)[13]);
int32_t vendor_write(Platform& p, int32_t h, const int32_t (&c)[9], int32_t count, void* buffer);
int32_t vendor_read(Platform& p, int32_t h, const int32_t (&c)[9], int32_t count, void* buffer);
int32_t vendor_capacity(Platform& p, int32_t h, void* buffer);
int32_t set_configuration(Platform& p);

}  // namespace sarnik::cmd
