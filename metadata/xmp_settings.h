// The settings packet: an XMP packet that records the processing method and its settings
// (written into every output file, read back from preset files), and may carry the lens name.
// The reader is a bounded scanner over the packet's tags, not an XML parser; it takes each
// property in element or attribute form wherever the program's descriptions hold it, and the
// older versions' formats. Numbers are written and read independently of the process locale.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

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

// The properties of the program's namespace in a packet. A scan of the packet's tags finds them
// under any prefix bound to the namespace where the binding is in scope (on the element or an
// outer one), as attributes (prefix:Name='text' or "text") or as elements (<prefix:Name>text<),
// in any description and any order; comments, CDATA sections, processing instructions and
// declarations are skipped. Text that reads as no tag (a '<' in binary data around a packet, an
// unterminated tag or quote, a quoted value holding a '<') is passed over; an unterminated comment
// or CDATA section, more than kMaxBindings bindings that matter in scope at once or more than
// kMaxProperties properties end the scan, and what it found before stands. The scan takes time
// linear in the packet's length, reads nothing past its end and allocates nothing. The texts are
// views into the packet, which must outlive this object.
class SettingsPacket {
public:
    struct Property {
        std::string_view name; // the local name, e.g. "Strength"
        std::string_view text; // without surrounding white space; references left as written
        size_t pos;            // where its qualified name starts in the packet
    };
    static constexpr size_t kMaxProperties = 128, kMaxBindings = 32;

    explicit SettingsPacket(std::string_view packet);
    SettingsPacket(const SettingsPacket &) = delete;
    SettingsPacket &operator=(const SettingsPacket &) = delete;

    // True when the packet binds a prefix to the program's namespace (recognised up to and
    // including the slash after the host).
    bool declared() const { return m_declared; }
    // The first property called name in packet order; null when there is none.
    const Property *find(std::string_view name) const;
    // Every property found, in packet order.
    std::span<const Property> properties() const { return {m_properties.data(), m_count}; }
    // The first Version whose text reads as major.minor (two decimal integers); false when none
    // does.
    bool version(int &major, int &minor) const;
    // The first Method, when the packet has a version; else null.
    const Property *method() const;
    // The id that method() names, older names included (1, 2, 10, 11); 0 when there is none or
    // its name is not known.
    int method_id() const;
    // True when the packet writes Microcontrast as a word: a version whose major number is at
    // most 2 and whose minor number is at most 4.
    bool microcontrast_words() const;

private:
    bool add(std::string_view name, std::string_view text, size_t pos);

    std::array<Property, kMaxProperties> m_properties{};
    size_t m_count = 0;
    bool m_declared = false, m_versioned = false;
    int m_major = 0, m_minor = 0;
};

// What a packet tells of the file that carries it: 0 when it is not this program's packet (no
// version under the program's namespace); else the id its Method names (1, 2, 10, 11),
// kMethodNotNamed when it names none (the results of the methods without settings, 12 to 14,
// record the version alone), kMethodUnknown when it names one this version does not know.
inline constexpr int kMethodNotNamed = -1, kMethodUnknown = -2;
int recorded_method(std::string_view packet);

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
//             packet has no method or no version (SettingsPacket::method). tmParam is not used.
//   other:    the method id expected; when the packet's method matches, the slots whose
//             properties are found (SettingsPacket, each in its own form) are read into tmParam
//             (20 floats; other slots keep what the caller put there) and slot 8 becomes 50
//             when there is no Gamma; returns the position of the method's name (0 when there
//             is none, for mode 0). -5 when the method differs.
// Every mode returns -3 when packet is null, length is below 1 or the last byte is not 0, or
// the buffer that mode writes is null; 0 (not -3) when the packet is too short or (modes other
// than 100) lacks the program's namespace declaration.
int get_settings_from_xmp(int mode, int length, const char *packet, char *lensOut, float *tmParam);

// Reads the whole file at path and returns get_settings_from_xmp(mode, size + 1, bytes, no lens
// buffer, tmParam). -1 when the file cannot be opened or its size found (or is too large for
// an int), -4 when the buffer cannot be allocated, -2 on a short read.
int parse_xmp(const char *path, int mode, float *tmParam);
