// Metadata edits outside the save road: a keyword added to an IPTC block, the method of a
// settings packet stored in a file, a stand-alone settings packet file (the form of the preset
// files), and the program's settings description inserted into an existing XMP packet.
#pragma once

#include <cstdint>

// Copies the IPTC block `input` (inputLen bytes, datasets 0x1C, record, dataset, big-endian u16
// length or its extended form, data) into output with one keyword dataset (0x1C 0x02 0x19,
// keywordLen big-endian, the keyword) inserted right after the last keyword dataset (2:25) that
// does not start the block, else after the last record-2 dataset that does not start it, else
// after the first dataset; they are looked for among the whole datasets at the block's start
// (iptc_records_length), and bytes after those are copied as they stand. An empty block
// becomes the record-version dataset (2:00, version 4) followed by the keyword. output
// (caller-owned) must hold inputLen + keywordLen + 5 bytes, or keywordLen + 12 for an empty
// block. Returns the position of the inserted dataset in output; -1 when a length is negative,
// the keyword is longer than 65535 bytes, the output would pass the int range, or the block
// does not start with a whole dataset; -3 when a buffer of a positive length is null, or
// output is. Nothing is written on failure.
int add_iptc_keyword(int inputLen, const uint8_t *input, int keywordLen, const uint8_t *keyword,
                     uint8_t *output);

// Reads the settings packet of `length` bytes that the file at path holds at file offset
// `offset` into buffer (caller-owned, length + 1 bytes; its last byte is set to 0) and returns
// its method id as get_settings_from_xmp(-1, ...) gives it (0 without the program's namespace,
// -5 without a method element). 0 when length or offset is negative or the packet does not lie
// inside the file (it may end at its last byte); -1 when the file cannot be opened, is empty or
// cannot be read; -3 when buffer is null or length is INT_MAX.
int extract_xmp(const char *path, int length, int offset, char *buffer);

// Writes the complete settings packet of tmMethod (1, 2, 10 or 11) with the settings tmParam (20
// floats) and no lens as the file at path (created or replaced): the form of the preset files.
// Returns 1; -2 for another method, -3 for a null tmParam and -4 out of memory (no file made
// then); -1 when the file cannot be created; -3 when the write fails (the partial file stays).
int write_xmp(const char *path, int tmMethod, const float *tmParam);

// Inserts the program's settings description of tmMethod (as embed_xmp writes it for
// tmMethod + 200: no wrapper, no lens) into the XMP packet held in packet (packetLen bytes, in
// a caller-owned buffer of at least packetLen + insertedLen bytes). With embed_type 0 nothing
// is touched and the description's length is returned: the insertedLen to pass next (0 for a
// method of 0 or below, which has no description).
// Otherwise the packet must hold an x:xmpmeta start tag that declares xmlns:x as the x
// namespace name, followed somewhere by an rdf:RDF start tag that declares xmlns:rdf as the RDF
// namespace name (in apostrophes or double quotes, among any other attributes, in any order).
// The description goes right after the rdf:RDF tag's ">", after its first line feed when a
// second one follows (so between the two line feeds of the program's own layout), or after the
// second when a third follows; the rest of the packet moves up by insertedLen bytes.
// Returns the description's length (0 for a method of 0 or below, the packet unchanged); a
// negative number when one of the two tags is missing: minus the position where its search
// stopped (the packet's end, or the shortest length that could hold the tag); -1 when fewer
// than 3 bytes follow the insertion point; -3 when insertedLen is not the description's length
// (which would cut or leave a gap in the packet), packet or tmParam is null or packetLen is
// negative; -4 out of memory. The packet is unchanged on every failure.
int insert_xmp(int embed_type, int tmMethod, const float *tmParam, int packetLen, int insertedLen,
               char *packet);
