// The string form of a security descriptor, as far as the system writes it: owner, group and a
// DACL of allow and deny entries, with the common SID aliases and rights names.
#include "security/descriptor.h"

#include <cstdlib>
#include <map>

namespace hostwin::security {

namespace {

class Reader {
public:
    explicit Reader(const std::u16string& text) : m_text(text) {}

    bool AtEnd() const { return m_at >= m_text.size(); }
    char16_t Peek() const { return AtEnd() ? 0 : m_text[m_at]; }
    bool Take(char16_t c) {
        if (Peek() != c)
            return false;
        ++m_at;
        return true;
    }
    // Up to the next `stop` (not taken), or the end.
    std::u16string Until(char16_t stop) {
        size_t end = m_text.find(stop, m_at);
        if (end == std::u16string::npos)
            end = m_text.size();
        std::u16string part = m_text.substr(m_at, end - m_at);
        m_at = end;
        return part;
    }
    // A SID: "S-1-..." up to the next part, or a two-letter alias.
    std::u16string SidToken() {
        if (m_text.compare(m_at, 2, u"S-") == 0) {
            size_t end = m_at;
            while (end < m_text.size() && (m_text[end] == u'S' || m_text[end] == u'-' ||
                                           (m_text[end] >= u'0' && m_text[end] <= u'9')))
                ++end;
            std::u16string token = m_text.substr(m_at, end - m_at);
            m_at = end;
            return token;
        }
        std::u16string token = m_text.substr(m_at, 2);
        m_at += token.size();
        return token;
    }

private:
    const std::u16string& m_text;
    size_t m_at = 0;
};

std::string Narrow(const std::u16string& text) {
    std::string narrow;
    for (char16_t c : text) {
        if (c > 0x7F)
            return {};
        narrow += static_cast<char>(c);
    }
    return narrow;
}

bool ParseSid(const std::u16string& token, SidBytes& sid) {
    static const std::map<std::string, SidBytes> aliases = {
        {"SY", SystemSid()},   {"BA", AdministratorsSid()}, {"BU", UsersSid()},
        {"WD", EveryoneSid()}, {"AU", MakeSid(5, {11})},    {"CO", MakeSid(3, {0})},
    };
    const std::string text = Narrow(token);
    if (auto alias = aliases.find(text); alias != aliases.end()) {
        sid = alias->second;
        return true;
    }
    if (text.compare(0, 4, "S-1-") != 0)
        return false;
    std::vector<DWORD> parts;
    const char* at = text.c_str() + 4;
    while (*at) {
        char* end;
        unsigned long value = std::strtoul(at, &end, 10);
        if (end == at || (*end != 0 && *end != '-') || value > 0xFFFFFFFFul)
            return false;
        parts.push_back(static_cast<DWORD>(value));
        at = *end ? end + 1 : end;
    }
    if (parts.empty() || parts[0] > 0xFF || parts.size() - 1 > SID_MAX_SUB_AUTHORITIES)
        return false;
    sid = MakeSid(static_cast<BYTE>(parts[0]), std::vector<DWORD>(parts.begin() + 1, parts.end()));
    return true;
}

bool ParseRights(const std::string& text, ACCESS_MASK& mask) {
    if (text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0) {
        char* end;
        unsigned long value = std::strtoul(text.c_str() + 2, &end, 16);
        mask = static_cast<ACCESS_MASK>(value);
        return end != text.c_str() + 2 && *end == 0 && value <= 0xFFFFFFFFul;
    }
    static const std::map<std::string, ACCESS_MASK> names = {
        {"FA", FILE_ALL_ACCESS},
        {"FR", FILE_GENERIC_READ},
        {"FW", FILE_GENERIC_WRITE},
        {"FX", FILE_GENERIC_EXECUTE},
        {"GA", GENERIC_ALL},
        {"GR", GENERIC_READ},
        {"GW", GENERIC_WRITE},
        {"GX", GENERIC_EXECUTE},
        {"SD", DELETE},
        {"WD", WRITE_DAC},
        {"WO", WRITE_OWNER},
        {"RC", READ_CONTROL},
    };
    mask = 0;
    if (text.size() % 2 != 0)
        return false;
    for (size_t at = 0; at < text.size(); at += 2) {
        auto name = names.find(text.substr(at, 2));
        if (name == names.end())
            return false;
        mask |= name->second;
    }
    return true;
}

// "(type;flags;rights;;;sid)" after its opening parenthesis.
bool ParseAce(Reader& reader, Ace& ace) {
    std::vector<std::string> fields;
    for (int i = 0; i < 5; ++i) {
        fields.push_back(Narrow(reader.Until(u';')));
        if (!reader.Take(u';'))
            return false;
    }
    const std::u16string sidText = reader.Until(u')');
    if (!reader.Take(u')') || !ParseSid(sidText, ace.sid))
        return false;
    if (fields[0] == "A")
        ace.type = ACCESS_ALLOWED_ACE_TYPE;
    else if (fields[0] == "D")
        ace.type = ACCESS_DENIED_ACE_TYPE;
    else
        return false;
    static const std::map<std::string, BYTE> flags = {{"OI", OBJECT_INHERIT_ACE},
                                                      {"CI", CONTAINER_INHERIT_ACE},
                                                      {"NP", NO_PROPAGATE_INHERIT_ACE},
                                                      {"IO", INHERIT_ONLY_ACE},
                                                      {"ID", INHERITED_ACE}};
    if (fields[1].size() % 2 != 0)
        return false;
    for (size_t at = 0; at < fields[1].size(); at += 2) {
        auto flag = flags.find(fields[1].substr(at, 2));
        if (flag == flags.end())
            return false;
        ace.flags |= flag->second;
    }
    // Object and inherited-object types belong to directory objects, not files.
    return ParseRights(fields[2], ace.mask) && fields[3].empty() && fields[4].empty();
}

} // namespace

bool ParseSddl(const std::u16string& text, Descriptor& descriptor) {
    descriptor = Descriptor{};
    Reader reader(text);
    while (!reader.AtEnd()) {
        const char16_t part = reader.Peek();
        if (!reader.Take(part) || !reader.Take(u':'))
            return false;
        if (part == u'O' || part == u'G') {
            if (!ParseSid(reader.SidToken(), part == u'O' ? descriptor.owner : descriptor.group))
                return false;
        } else if (part == u'D' && !descriptor.daclPresent) {
            descriptor.daclPresent = true;
            for (char16_t flag = reader.Peek(); flag != u'(' && !reader.AtEnd();
                 flag = reader.Peek()) {
                if (reader.Take(u'P'))
                    descriptor.daclProtected = true;
                else if (!reader.Take(u'A') || !(reader.Take(u'I') || reader.Take(u'R')))
                    return false; // AI and AR: inheritance bookkeeping, no access of their own
            }
            while (reader.Take(u'(')) {
                Ace ace;
                if (!ParseAce(reader, ace))
                    return false;
                descriptor.dacl.push_back(std::move(ace));
            }
        } else {
            return false;
        }
    }
    return true;
}

} // namespace hostwin::security
