// Text form: one tagged value after another, lengths before every string, so any byte survives:
// i<int>;  d<double>;  s<len>:<bytes>  b<len>:<hex>  F<n>:<doubles;>  S<n>:<strings>
// D<n>:<key value ...>.
#include "platform/user_defaults.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

#include "platform/data.h"
#include "platform/file_holder.h"

namespace platform {
namespace {

void put_string(std::string &out, const std::string &s)
{
    out += 's';
    out += std::to_string(s.size());
    out += ':';
    out += s;
}

void put_value(std::string &out, const Value &val)
{
    char buf[40];
    if (auto i = std::get_if<int64_t>(&val.v)) {
        out += 'i' + std::to_string(*i) + ';';
    } else if (auto d = std::get_if<double>(&val.v)) {
        auto r = std::to_chars(buf, buf + sizeof buf, *d); // shortest exact, locale-free
        out += 'd';
        out.append(buf, r.ptr);
        out += ';';
    } else if (auto s = std::get_if<std::string>(&val.v)) {
        put_string(out, *s);
    } else if (auto b = std::get_if<std::vector<uint8_t>>(&val.v)) {
        out += 'b' + std::to_string(b->size()) + ':';
        static const char hex[] = "0123456789abcdef";
        for (uint8_t c : *b) {
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    } else if (auto f = std::get_if<std::vector<double>>(&val.v)) {
        out += 'F' + std::to_string(f->size()) + ':';
        for (double x : *f) {
            auto r = std::to_chars(buf, buf + sizeof buf, x);
            out.append(buf, r.ptr);
            out += ';';
        }
    } else if (auto ss = std::get_if<std::vector<std::string>>(&val.v)) {
        out += 'S' + std::to_string(ss->size()) + ':';
        for (auto &s2 : *ss)
            put_string(out, s2);
    } else if (auto dict = std::get_if<Dictionary>(&val.v)) {
        // A null value has no text form: it is left out, as setting one removes its key, rather
        // than written as a key without a value that would make the whole store unreadable.
        size_t n = 0;
        for (auto &kv : *dict)
            n += kv.second.isNull() ? 0 : 1;
        out += 'D' + std::to_string(n) + ':';
        for (auto &kv : *dict) {
            if (kv.second.isNull())
                continue;
            put_string(out, kv.first);
            put_value(out, kv.second);
        }
    }
}

struct Parser {
    const std::string &t;
    size_t p = 0;

    bool number_until(char end, std::string_view &sv)
    {
        size_t q = t.find(end, p);
        if (q == std::string::npos)
            return false;
        sv = std::string_view(t).substr(p, q - p);
        p = q + 1;
        return true;
    }
    bool count(size_t &n)
    {
        std::string_view sv;
        if (!number_until(':', sv))
            return false;
        auto r = std::from_chars(sv.data(), sv.data() + sv.size(), n);
        return r.ec == std::errc() && r.ptr == sv.data() + sv.size() && n <= t.size();
    }
    bool str(std::string &s)
    {
        size_t n;
        if (p >= t.size() || t[p++] != 's' || !count(n) || n > t.size() - p)
            return false;
        s = t.substr(p, n);
        p += n;
        return true;
    }
    bool dbl(double &d)
    {
        std::string_view sv;
        if (!number_until(';', sv))
            return false;
        auto r = std::from_chars(sv.data(), sv.data() + sv.size(), d);
        return r.ec == std::errc() && r.ptr == sv.data() + sv.size();
    }
    bool value(Value &out, int depth)
    {
        if (p >= t.size() || depth > 16)
            return false;
        char tag = t[p];
        size_t n;
        if (tag == 's') {
            std::string s;
            if (!str(s))
                return false;
            out = Value(std::move(s));
            return true;
        }
        ++p;
        switch (tag) {
        case 'i': {
            std::string_view sv;
            int64_t i;
            if (!number_until(';', sv))
                return false;
            auto r = std::from_chars(sv.data(), sv.data() + sv.size(), i);
            if (r.ec != std::errc() || r.ptr != sv.data() + sv.size())
                return false;
            out = Value(i);
            return true;
        }
        case 'd': {
            double d;
            if (!dbl(d))
                return false;
            out = Value(d);
            return true;
        }
        case 'b': {
            if (!count(n) || n > (t.size() - p) / 2)
                return false;
            std::vector<uint8_t> b(n);
            for (size_t k = 0; k < n; ++k) {
                unsigned v;
                auto r = std::from_chars(t.data() + p, t.data() + p + 2, v, 16);
                if (r.ec != std::errc() || r.ptr != t.data() + p + 2)
                    return false;
                b[k] = static_cast<uint8_t>(v);
                p += 2;
            }
            out = Value(std::move(b));
            return true;
        }
        case 'F': {
            if (!count(n))
                return false;
            std::vector<double> f;
            for (size_t k = 0; k < n; ++k) {
                double d;
                if (!dbl(d))
                    return false;
                f.push_back(d);
            }
            out = Value(std::move(f));
            return true;
        }
        case 'S': {
            if (!count(n))
                return false;
            std::vector<std::string> ss;
            for (size_t k = 0; k < n; ++k) {
                std::string s;
                if (!str(s))
                    return false;
                ss.push_back(std::move(s));
            }
            out = Value(std::move(ss));
            return true;
        }
        case 'D': {
            if (!count(n))
                return false;
            Dictionary d;
            for (size_t k = 0; k < n; ++k) {
                std::string key;
                Value v;
                if (!str(key) || !value(v, depth + 1))
                    return false;
                d[key] = std::move(v);
            }
            out = Value(std::move(d));
            return true;
        }
        default:
            return false;
        }
    }
};

} // namespace

std::string encode_defaults(const Dictionary &values)
{
    std::string out;
    put_value(out, Value(values));
    return out;
}

std::optional<Dictionary> decode_defaults(const std::string &text)
{
    Parser parser{text};
    Value v;
    if (!parser.value(v, 0) || parser.p != text.size() || !v.dictionary())
        return std::nullopt;
    return *v.dictionary();
}

UserDefaults::UserDefaults(std::string path) : m_path(std::move(path))
{
    // Read at start-up of every run: a named pipe there must not hang it, nor a huge file take
    // its memory.
    uint64_t length = 0;
    std::string why;
    errno = 0;
    FilePtr f = open_regular(m_path, length, &why);
    if (!f) {
        if (errno != ENOENT)
            m_problem = why.rfind("is ", 0) == 0 ? why : "cannot be opened: " + why;
        return;
    }
    if (length > kMaxDefaultsFileBytes) {
        m_problem = "has " + std::to_string(length) + " bytes, more than the " +
                    std::to_string(kMaxDefaultsFileBytes) + " a defaults file may have";
        return;
    }
    if (length == 0)
        return; // an empty store
    std::string text(size_t(length), '\0');
    if (!read_at(f.get(), length, 0, text.data(), text.size())) {
        m_problem = "cannot be read";
        return;
    }
    if (auto d = decode_defaults(text))
        m_values = std::move(*d);
    else
        m_problem = "is not a defaults file this program wrote";
}

std::string UserDefaults::standard_path()
{
    const char *xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg && *xdg)
        base = xdg;
    else if (const char *home = std::getenv("HOME"); home && *home)
        base = std::string(home) + "/.config";
    else
        base = ".";
    return base + "/zenit/defaults";
}

UserDefaults &UserDefaults::standardUserDefaults()
{
    static UserDefaults defaults(standard_path());
    return defaults;
}

Value UserDefaults::objectForKey(const std::string &key) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_values.find(key);
    return it == m_values.end() ? Value() : it->second;
}

void UserDefaults::setObject(const Value &value, const std::string &key)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (value.isNull())
        m_values.erase(key);
    else
        m_values[key] = value;
}

void UserDefaults::removeObjectForKey(const std::string &key)
{
    setObject(Value(), key);
}

bool UserDefaults::synchronize()
{
    std::string text;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        text = encode_defaults(m_values);
    }
    // Create missing folders one level at a time.
    for (size_t pos = m_path.find('/', 1); pos != std::string::npos;
         pos = m_path.find('/', pos + 1))
        ::mkdir(m_path.substr(0, pos).c_str(), 0755);
    // Write beside the file and rename, so a crash never leaves half a store.
    std::string tmp = m_path + ".tmp";
    FILE *f = std::fopen(tmp.c_str(), "wb");
    if (!f)
        return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (std::fclose(f) == 0) && ok;
    if (!ok || std::rename(tmp.c_str(), m_path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

} // namespace platform
