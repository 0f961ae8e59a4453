// Small metadata services: the colour-space name of an ICC profile and the time elapsed since
// a capture date-time text.
#pragma once

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
