// The formatting engine behind UText::Format and UText::FormatString: walks the format once,
// writing into a bounded buffer or a growing string.
#include "framework/text_format.h"

#include <algorithm>
#include <cstring>

#include "framework/error.h"

namespace kx::UText {

namespace {

// Pads are bounded so that a wild width (say from a * argument) cannot grow a string without end.
constexpr std::size_t kMaxWidth = 65535;

class CSink {
public:
    CSink(char* dest, std::size_t capacity) : mDest(dest), mCapacity(capacity) {}
    explicit CSink(std::string* out) : mOut(out) {}

    void Put(const char* s, std::size_t n) {
        if (mOut) {
            mOut->append(s, n);
            return;
        }
        const std::size_t room = mCapacity - mLength;
        if (n > room) n = room;
        if (n) std::memcpy(mDest + mLength, s, n);
        mLength += n;
    }
    void Put(char c) { Put(&c, 1); }
    void Fill(char c, std::size_t n) {
        if (mOut) {
            mOut->append(n, c);
            return;
        }
        const std::size_t room = mCapacity - mLength;
        if (n > room) n = room;
        if (n) std::memset(mDest + mLength, c, n);
        mLength += n;
    }
    bool Full() const { return !mOut && mLength == mCapacity; }
    std::size_t Length() const { return mLength; }

private:
    char* mDest = nullptr;
    std::size_t mCapacity = 0;
    std::size_t mLength = 0;
    std::string* mOut = nullptr;
};

struct SConversion {
    bool left = false;
    bool zero = false;
    bool plus = false;
    bool space = false;
    bool alternate = false;  // '#': a length-prefixed text for %s
    std::size_t width = 0;
    bool hasPrecision = false;
    std::size_t precision = 0;
    int size = 0;            // -2 hh, -1 h, 0 none, 1 l, 2 ll
};

class CArgs {
public:
    CArgs(const SFormatArg* args, std::size_t count) : mArgs(args), mCount(count) {}
    // The next argument, or null when they have run out.
    const SFormatArg* Next() { return mNext < mCount ? &mArgs[mNext++] : nullptr; }

private:
    const SFormatArg* mArgs;
    std::size_t mCount;
    std::size_t mNext = 0;
};

void Mismatch(const char* directive, std::size_t length) {
    UError::DebugBreak("UText::Format() - missing or mismatched argument for \"" + std::string(directive, length) + "\"");
}

void PutPadded(CSink& sink, const SConversion& conv, const char* s, std::size_t n) {
    const std::size_t pad = conv.width > n ? conv.width - n : 0;
    if (!conv.left) sink.Fill(' ', pad);
    sink.Put(s, n);
    if (conv.left) sink.Fill(' ', pad);
}

// The text an argument stands for, before precision; false when it is not a text.
bool TextOf(const SFormatArg& arg, const SConversion& conv, const char*& outText, std::size_t& outLength) {
    const std::size_t limit = conv.hasPrecision ? conv.precision : static_cast<std::size_t>(-1);
    switch (arg.kind) {
        case SFormatArg::EKind::kView:
            outText = static_cast<const char*>(arg.ptr);
            outLength = arg.length;
            return true;
        case SFormatArg::EKind::kCText:
        case SFormatArg::EKind::kBytes: {
            const auto* p = static_cast<const char*>(arg.ptr);
            if (!p) {
                outText = "";
                outLength = 0;
            } else if (conv.alternate) {
                outText = p + 1;
                outLength = static_cast<unsigned char>(p[0]);
            } else {
                // Stop at the precision, so a cut text need not be terminated.
                outText = p;
                outLength = strnlen(p, limit);
            }
            return true;
        }
        default:
            return false;
    }
}

void PutText(CSink& sink, const SConversion& conv, const SFormatArg& arg) {
    const char* text;
    std::size_t length;
    TextOf(arg, conv, text, length);
    if (conv.hasPrecision && length > conv.precision) length = conv.precision;
    PutPadded(sink, conv, text, length);
}

void PutInteger(CSink& sink, const SConversion& conv, const SFormatArg& arg, char conversion) {
    unsigned bits;
    switch (conv.size) {
        case -2: bits = 8; break;
        case -1: bits = 16; break;
        case 0: bits = 32; break;
        default: bits = arg.bits > 32 ? 64 : 32; break;
    }
    const std::uint64_t mask = bits == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
    std::uint64_t value = arg.raw & mask;

    if (conversion == 'c') {
        const char c = static_cast<char>(arg.raw & 0xFF);
        PutPadded(sink, conv, &c, 1);
        return;
    }

    char sign = 0;
    if (conversion == 'd' || conversion == 'i') {
        const std::uint64_t signBit = std::uint64_t{1} << (bits - 1);
        if (value & signBit) {
            sign = '-';
            value = ((~value) & mask) + 1;  // magnitude; exact even for the most negative value
        } else if (conv.plus) {
            sign = '+';
        } else if (conv.space) {
            sign = ' ';
        }
    }

    char digits[24];
    std::size_t n = 0;
    const unsigned base = (conversion == 'x' || conversion == 'X') ? 16 : 10;
    const char* alphabet = conversion == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    while (value) {
        digits[n++] = alphabet[value % base];
        value /= base;
    }
    // printf's rule: the minimum number of digits is 1, or the precision when given (so ".0" of
    // zero prints no digits).
    const std::size_t minDigits = conv.hasPrecision ? std::min(conv.precision, kMaxWidth) : 1;
    const std::size_t zeros = minDigits > n ? minDigits - n : 0;
    const std::size_t body = (sign ? 1 : 0) + zeros + n;
    std::size_t pad = conv.width > body ? conv.width - body : 0;

    const bool zeroPad = conv.zero && !conv.left && !conv.hasPrecision;
    if (!conv.left && !zeroPad) sink.Fill(' ', pad);
    if (sign) sink.Put(sign);
    if (zeroPad) sink.Fill('0', pad);
    sink.Fill('0', zeros);
    while (n) sink.Put(digits[--n]);
    if (conv.left) sink.Fill(' ', pad);
}

// A width or precision given as '*'; false when the argument is missing or not an integer.
bool StarValue(CArgs& args, std::int32_t& out) {
    const SFormatArg* a = args.Next();
    if (!a || a->kind != SFormatArg::EKind::kInteger) return false;
    out = static_cast<std::int32_t>(static_cast<std::uint32_t>(a->raw));
    return true;
}

std::size_t ReadNumber(const char*& p) {
    std::size_t v = 0;
    while (*p >= '0' && *p <= '9') {
        if (v <= kMaxWidth) v = v * 10 + static_cast<std::size_t>(*p - '0');
        ++p;
    }
    return v;
}

void Run(CSink& sink, const char* format, CArgs& args) {
    if (!format) return;
    const char* p = format;
    while (*p && !sink.Full()) {
        if (*p != '%') {
            const char* start = p;
            while (*p && *p != '%') ++p;
            sink.Put(start, static_cast<std::size_t>(p - start));
            continue;
        }
        const char* directive = p++;
        SConversion conv;
        bool argsOK = true;
        for (;; ++p) {
            if (*p == '-') conv.left = true;
            else if (*p == '0') conv.zero = true;
            else if (*p == '+') conv.plus = true;
            else if (*p == ' ') conv.space = true;
            else if (*p == '#') conv.alternate = true;
            else break;
        }
        if (*p == '*') {
            ++p;
            std::int32_t w = 0;
            if (!StarValue(args, w)) argsOK = false;
            if (w < 0) {
                conv.left = true;
                w = w == INT32_MIN ? INT32_MAX : -w;
            }
            conv.width = static_cast<std::size_t>(w);
        } else {
            conv.width = ReadNumber(p);
        }
        if (conv.width > kMaxWidth) conv.width = kMaxWidth;
        if (*p == '.') {
            ++p;
            conv.hasPrecision = true;
            if (*p == '*') {
                ++p;
                std::int32_t prec = 0;
                if (!StarValue(args, prec)) argsOK = false;
                if (prec < 0) conv.hasPrecision = false;  // a negative precision counts as none
                else conv.precision = static_cast<std::size_t>(prec);
            } else {
                conv.precision = ReadNumber(p);
            }
        }
        if (*p == 'h') {
            conv.size = -1;
            if (*++p == 'h') { conv.size = -2; ++p; }
        } else if (*p == 'l') {
            conv.size = 1;
            if (*++p == 'l') { conv.size = 2; ++p; }
        }
        const char conversion = *p;
        if (!conversion) {  // a format that ends inside a directive is written as it stands
            sink.Put(directive, static_cast<std::size_t>(p - directive));
            break;
        }
        ++p;
        const std::size_t directiveLength = static_cast<std::size_t>(p - directive);
        switch (conversion) {
            case '%':
                sink.Put('%');
                break;
            case 'd': case 'i': case 'u': case 'x': case 'X': case 'c': {
                const SFormatArg* a = args.Next();
                if (!argsOK || !a || a->kind != SFormatArg::EKind::kInteger) Mismatch(directive, directiveLength);
                else PutInteger(sink, conv, *a, conversion);
                break;
            }
            case 's': {
                const SFormatArg* a = args.Next();
                const char* text;
                std::size_t length;
                if (!argsOK || !a || !TextOf(*a, conv, text, length)) Mismatch(directive, directiveLength);
                else PutText(sink, conv, *a);
                break;
            }
            default:  // not a conversion of ours: keep the text
                sink.Put(directive, directiveLength);
                break;
        }
    }
}

}  // namespace

std::size_t FormatArgs(void* dest, std::size_t capacity, const char* format, const SFormatArg* args,
                       std::size_t argCount) {
    if (!dest) capacity = 0;
    CSink sink(static_cast<char*>(dest), capacity);
    CArgs list(args, argCount);
    Run(sink, format, list);
    return sink.Length();
}

std::string FormatArgsToString(const char* format, const SFormatArg* args, std::size_t argCount) {
    std::string out;
    CSink sink(&out);
    CArgs list(args, argCount);
    Run(sink, format, list);
    return out;
}

}  // namespace kx::UText
