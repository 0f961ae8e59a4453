// The settings packet: an XMP packet that records the processing method and its settings
// (written into every output file, read back from preset files), and may carry the lens name.
// The reader is a text scanner over fixed element names, not an XML parser; it accepts the
// element form the writer produces, the attribute form, and the older versions' formats.
// Numbers are written and read independently of the process locale.
#pragma once

#include <cstdint>

namespace metadata {

// The program's namespace (prefix kvtm). The reader recognises a packet by its declaration up
// to and including the slash after the host, so writer and reader share this one constant.
inline constexpr const char kKvtmNamespace[] = "http://ns.zenit-hdr.org/tone_mapping_settings";

// The namespace names of x:xmpmeta and of RDF, as the packet's wrapper declares them.
inline constexpr const char kXmpMetaNamespace[] = "adobe:ns:meta/";
inline constexpr const char kRdfNamespace[] = "http://www.w3.org/1999/02/22-rdf-syntax-ns#";

// The signature that opens a JPEG APP1 segment holding an XMP packet; its NUL is part of it
// (sizeof: 29 bytes).
inline constexpr char kXmpApp1Signature[] = "http://ns.adobe.com/xap/1.0/";

// True for the methods whose settings the packet carries (1, 2, 10, 11): a packet with one of
// them is a settings packet of this system.
bool is_settings_method(int method);
// The name a settings packet gives method (e.g. "Rodo Vizezadadu"); null for other ids.
const char *settings_method_name(int method);

} // namespace metadata

// Builds the packet for method curMethod (1, 2, 10, 11 write their settings; another id above 0
// writes the version element alone; 0 or below no settings description) from tmParam (20
// floats, read only). curMethod above 200 leaves out the x:xmpmeta / rdf:RDF wrapper and
// stands for curMethod - 200. lensInfoLen > 0 with a non-null lensInfo adds an aux:Lens
// description holding lensInfo up to its NUL or 64 bytes, whichever comes first, written as
// well-formed XML text: < > & ' " as their entities, control bytes (0x00-0x1F, 0x7F) as spaces,
// each ill-formed UTF-8 sequence and U+FFFE / U+FFFF as U+FFFD; where replacements lengthen the
// name past 63 bytes (or its own length when longer), the characters past that are left out, so
// the reader below takes it back; every other byte of the packet is as listed.
// embed_type 0 only measures (out may be null); any other value also writes the bytes into
// out, which must hold at least the measured length. No terminating zero is written.
// Returns the packet length in bytes; -3 when a write is asked with a null out or a null
// tmParam is given for a method with settings; -4 when memory runs out.
int embed_xmp(int embed_type, int curMethod, const float *tmParam, int lensInfoLen,
              const char *lensInfo, char *out);

// Reads a packet of `length` bytes whose last byte must be 0.
//   mode 100: copies the aux:Lens text (1 to 63 characters once its XML references, the five
//             entities and numeric ones, are resolved; no terminator written) into lensOut
//             (caller-owned, zero-filled, at least 64 bytes); returns a non-negative position in
//             the packet (0 when there is no lens). tmParam is not used.
//   mode -1:  returns the method id of the packet (0 for an unknown method name), -5 when the
//             packet has no method element. tmParam is not used.
//   other:    the method id expected; when the packet's method matches, the slots whose
//             elements are found are read into tmParam (20 floats; other slots keep what the
//             caller put there) and slot 8 becomes 50 when there is no Gamma element; returns
//             the position of the method element (0 when there is none, for mode 0).
//             -5 when the method differs.
// Every mode returns -3 when packet is null, length is below 1 or the last byte is not 0, or
// the buffer that mode writes is null; 0 (not -3) when the packet is too short or (modes other
// than 100) lacks the program's namespace declaration.
int get_settings_from_xmp(int mode, int length, const char *packet, char *lensOut, float *tmParam);

// Reads the whole file at path and returns get_settings_from_xmp(mode, size + 1, bytes, no lens
// buffer, tmParam). -1 when the file cannot be opened or its size found (or is too large for
// an int), -4 when the buffer cannot be allocated, -2 on a short read.
int parse_xmp(const char *path, int mode, float *tmParam);
