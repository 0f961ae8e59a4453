// The settings packet: an XMP packet that records the processing method and its settings
// (written into every output file, read back from preset files), and may carry the lens name.
// The reader is an XML parser (expat, with namespace processing), so a value means what XML
// gives it; it takes each property in element or attribute form wherever the program's
// descriptions hold it, and the older versions' formats. Numbers are written and read
// independently of the process locale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

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

// The properties of the program's namespace in a packet, and its aux:Lens. The packet is read as
// XML 1.0 in UTF-8 (whatever its declaration says, as XMP is written), as the content of an element
// that binds the prefixes x and rdf to their namespaces (so the writer's descriptions without their
// wrapper read too): one or more elements with white space, comments and processing instructions
// around them, after a byte order mark and an XML declaration when it has them. A property is an
// element or an attribute in the namespace, under any prefix bound to it (the default namespace
// included, for elements), in any description and any order. Its text is the element's character
// data, CDATA sections as text and entity and character references decoded (comments and
// instructions are no part of it; of the elements inside it, all but the properties, whose text is
// their own), or the attribute's value; without surrounding white space (the lens keeps it). Bytes
// that are no XML characters (ill-formed UTF-8, U+FFFE, U+FFFF, control bytes other than tab, line
// feed and carriage return) are read as U+FFFD and spaces, as embed_xmp writes a lens, so that a
// packet written without care for its encoding keeps its lens; a reference to such a character
// (&#0;) is a fault. A packet that does not begin with markup (a file holding one among other
// bytes) is read from its first "<?xpacket begin" or "<x:xmpmeta" on. A packet that stops being
// well-formed (a forbidden reference, an undefined entity, a document type declaration, a tag left
// open at its end, more than kMaxProperties properties) is read up to that fault, which fault()
// tells: the properties whose elements closed before it stand, as in a packet cut there. Reading
// takes time and memory linear in the packet's length.
class SettingsPacket {
public:
    struct Property {
        std::string name; // the local name, e.g. "Strength"
        std::string text; // as XML gives it, without surrounding white space
        size_t pos;       // where the start tag holding it begins in the packet, past its '<'
        size_t grown;     // bytes of text that U+FFFD for bytes not UTF-8 added (elements)
    };
    static constexpr size_t kMaxProperties = 128;

    explicit SettingsPacket(std::string_view packet);
    SettingsPacket(const SettingsPacket &) = delete;
    SettingsPacket &operator=(const SettingsPacket &) = delete;

    // True when the packet binds a prefix (or the default namespace) to the program's namespace
    // (recognised up to and including the slash after the host) before any fault.
    bool declared() const { return m_declared; }
    // The first property called name in packet order; null when there is none.
    const Property *find(std::string_view name) const;
    // Every property found, in packet order.
    std::span<const Property> properties() const { return m_properties; }
    // The first aux:Lens (name "Lens"), in element or attribute form; null when there is none.
    const Property *lens() const { return m_lens.pos > 0 ? &m_lens : nullptr; }
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
    // Why the packet is not well-formed XML (expat's words, or the property limit); null when
    // it is. fault_at() is where in the packet the fault lies (its length when the packet ends
    // inside a tag or an element).
    const char *fault() const { return m_fault; }
    size_t fault_at() const { return m_faultAt; }

private:
    struct Reader;

    std::vector<Property> m_properties;
    Property m_lens{};
    const char *m_fault = nullptr;
    size_t m_faultAt = 0;
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

// Reads a packet of `length` bytes whose last byte must be 0, as SettingsPacket reads it.
//   mode 100: copies the aux:Lens text (1 to 63 bytes as XML gives it, surrounding white space
//             included; cut at whole characters when U+FFFD for bytes that are not UTF-8 took
//             it past 63 bytes; no terminator written) into lensOut (caller-owned, zero-filled, at
//             least 64 bytes); returns the lens's position in the packet
//             (SettingsPacket::Property::pos, above 0; the lens too long to copy counts), 0 when
//             there is none. tmParam is not used.
//   mode -1:  returns the method id of the packet (0 for an unknown method name), -5 when the
//             packet has no method or no version (SettingsPacket::method). tmParam is not used.
//   other:    the method id expected; when the packet's method matches, the slots whose
//             properties are found (SettingsPacket, each in its own form) and read are set in
//             tmParam (20 floats; other slots keep what the caller put there) and slot 8 becomes
//             50 when there is no Gamma; returns the position of the method's name (0 when there
//             is none, for mode 0). -5 when the method differs. Numbers are read as sscanf "%f"
//             (or "%d" for the settings of versions up to 2) reads them, but one too small for a
//             float reads as its zero; one too large for it, or a text that starts with no
//             number, is not read.
// Every mode returns -3 when packet is null, length is below 1 or the last byte is not 0, or
// the buffer that mode writes is null; 0 (not -3) when the packet is too short or (modes other
// than 100) lacks the program's namespace declaration.
int get_settings_from_xmp(int mode, int length, const char *packet, char *lensOut, float *tmParam);

// Reads the whole file at path and returns get_settings_from_xmp(mode, size + 1, bytes, no lens
// buffer, tmParam): a packet, or a file that holds one among other bytes (SettingsPacket). -1 when
// the file cannot be opened or its size found (or is too large for an int), -4 when the buffer
// cannot be allocated, -2 on a short read.
int parse_xmp(const char *path, int mode, float *tmParam);
