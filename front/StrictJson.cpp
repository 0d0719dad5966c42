#include "front/StrictJson.h"

#include <cstring>
#include <string_view>

namespace {

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isHex(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

class Reader
{
public:
    explicit Reader(const QByteArray& text) : at(text.constData()), end(text.constData() + text.size()) {}

    bool Document()
    {
        space();
        if (!value(0))
            return false;
        space();
        return at == end;
    }

private:
    bool eat(char c)
    {
        if (at == end || *at != c)
            return false;
        ++at;
        return true;
    }

    void space()
    {
        while (at < end && (*at == ' ' || *at == '\t' || *at == '\n' || *at == '\r'))
            ++at;
    }

    bool digits()
    {
        const char* from = at;
        while (at < end && isDigit(*at))
            ++at;
        return at > from;
    }

    bool literal(const char* word)
    {
        const size_t size = std::strlen(word);
        if (size_t(end - at) < size || std::memcmp(at, word, size) != 0)
            return false;
        at += size;
        return true;
    }

    bool number()
    {
        eat('-');
        // One zero, or digits that do not start with one.
        if (!eat('0') && !digits())
            return false;
        if (eat('.') && !digits())
            return false;
        if (eat('e') || eat('E')) {
            if (!eat('+'))
                eat('-');
            return digits();
        }
        return true;
    }

    // Bytes from 0x80 up pass as they are: the text is UTF-8 that QString wrote.
    bool string()
    {
        if (!eat('"'))
            return false;
        while (at < end) {
            const unsigned char c = static_cast<unsigned char>(*at++);
            if (c == '"')
                return true;
            if (c < 0x20 || (c == '\\' && !escape()))
                return false;
        }
        return false;
    }

    // An unpaired surrogate ("\ud800") is fine: RFC 8259 allows it, and Qt
    // writes one that way.
    bool escape()
    {
        if (at == end)
            return false;
        const char c = *at++;
        if (c != 'u')
            return std::string_view("\"\\/bfnrt").find(c) != std::string_view::npos;
        for (int i = 0; i < 4; ++i)
            if (at == end || !isHex(*at++))
                return false;
        return true;
    }

    bool container(int depth)
    {
        const bool object = *at++ == '{';
        const char close = object ? '}' : ']';
        space();
        if (eat(close))
            return true;
        do {
            space();
            if (object) {
                if (!string())
                    return false;
                space();
                if (!eat(':'))
                    return false;
                space();
            }
            if (!value(depth))
                return false;
            space();
        } while (eat(','));
        return eat(close);
    }

    bool value(int depth)
    {
        if (at == end)
            return false;
        switch (*at) {
        case '"':
            return string();
        case '[':
        case '{':
            return depth < StrictJson::MaxDepth && container(depth + 1);
        case 't':
            return literal("true");
        case 'f':
            return literal("false");
        case 'n':
            return literal("null");
        default:
            return number();
        }
    }

    const char* at;
    const char* end;
};

} // namespace

bool StrictJson::IsValue(const QByteArray& text)
{
    return Reader(text).Document();
}
