// Small metadata services: the colour-space name of an ICC profile, the time elapsed since a
// capture date-time text, and the whole records of an IPTC block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// Looks through the profile's text description tags ("desc" type, ASCII count below 256) for
// "sRGB", "Adobe RGB" or "ProPhoto RGB" and copies the first name found into out (32 bytes,
// zeroed first); returns its length (4, 9 or 12). When no description names one, copies the
// first 32 bytes of the first description text and returns 32. Returns -1 when the profile is
// shorter than 49 bytes or holds no description. Never reads outside length bytes.
int get_profile_name(int length, const uint8_t *profile, char *out);

// Reads "YYYY:MM:DD hh:mm:ss" as local time and stores in *seconds the difference now - that
// time (positive when now is later). Returns 1; -1 when the text does not hold six numbers or
// the date cannot be converted to a time after the epoch (then *seconds is not written).
int time_from_datetime(const char *text, time_t now, float *seconds);

// IPTC records: 0x1C, record number, dataset number, a big-endian 2-byte data length, the data.
// A length with its high bit set gives instead the size (1 to 4 bytes) of a big-endian length
// that follows it; larger sizes are not taken. The block is blockLen bytes, of which the first
// `size` are in data (fewer when a long block is walked a window at a time): heads are read from
// data only, a record's data may pass data but not the block.
// The length of the record at the start of data, head and data; 0 when no whole record starts
// there (another byte than 0x1C, a head that passes data, data that passes the block).
uint64_t iptc_record_length(const uint8_t *data, size_t size, uint64_t blockLen);
// The length of the whole records at the start of the block, walked one after the other until
// a record is not whole: what may be carried of the block. Zero padding after them is not
// counted. 0 when the block does not start with a whole record.
uint64_t iptc_records_length(const uint8_t *data, size_t size, uint64_t blockLen);
inline uint64_t iptc_records_length(const uint8_t *data, size_t size)
{
    return iptc_records_length(data, size, size);
}
