// The wsprintfA subset the library uses. Like the Windows call it writes at
// most 1024 characters, terminator included, and knows no floating point.
#include <string.h>

#include <svwin/windows.h>

namespace {

const int kMaxOutput = 1024;

struct Out {
    char* p;
    int n;
    void Put(char c)
    {
        if (n < kMaxOutput - 1)
            p[n++] = c;
    }
};

void PutField(Out& out, const char* text, int len, int width, bool left, char pad)
{
    int fill = width > len ? width - len : 0;
    if (!left) {
        // Zero padding goes after a sign.
        if (pad == '0' && len > 0 && text[0] == '-') {
            out.Put('-');
            ++text;
            --len;
        }
        for (int i = 0; i < fill; ++i)
            out.Put(pad);
    }
    for (int i = 0; i < len; ++i)
        out.Put(text[i]);
    if (left)
        for (int i = 0; i < fill; ++i)
            out.Put(' ');
}

int FormatUnsigned(char* digits, unsigned long long v, unsigned base, bool upper)
{
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char rev[32];
    int n = 0;
    do {
        rev[n++] = set[v % base];
        v /= base;
    } while (v != 0);
    for (int i = 0; i < n; ++i)
        digits[i] = rev[n - 1 - i];
    return n;
}

}  // namespace

SVWIN_API int wvsprintfA(LPSTR buffer, LPCSTR format, va_list args)
{
    Out out{buffer, 0};
    for (const char* f = format; *f != '\0'; ++f) {
        if (*f != '%') {
            out.Put(*f);
            continue;
        }
        ++f;
        bool left = false;
        char pad = ' ';
        for (;; ++f) {
            if (*f == '-')
                left = true;
            else if (*f == '0')
                pad = '0';
            else
                break;
        }
        int width = 0;
        while (*f >= '0' && *f <= '9')
            width = width * 10 + (*f++ - '0');
        bool isLong = false;
        if (*f == 'l') {
            isLong = true;
            ++f;
        }
        char digits[40];
        switch (*f) {
        case 'd':
        case 'i': {
            long v = isLong ? va_arg(args, long) : va_arg(args, int);
            int n = 0;
            unsigned long long mag = static_cast<unsigned long long>(v);
            if (v < 0) {
                digits[n++] = '-';
                mag = 0ull - mag;
            }
            n += FormatUnsigned(digits + n, mag, 10, false);
            PutField(out, digits, n, width, left, left ? ' ' : pad);
            break;
        }
        case 'u':
        case 'x':
        case 'X': {
            unsigned long v = isLong ? va_arg(args, unsigned long) : va_arg(args, unsigned int);
            int n = FormatUnsigned(digits, v, *f == 'u' ? 10 : 16, *f == 'X');
            PutField(out, digits, n, width, left, left ? ' ' : pad);
            break;
        }
        case 'c': {
            char c = static_cast<char>(va_arg(args, int));
            PutField(out, &c, 1, width, left, ' ');
            break;
        }
        case 's': {
            const char* s = va_arg(args, const char*);
            if (s == nullptr)
                s = "(null)";
            PutField(out, s, static_cast<int>(strlen(s)), width, left, ' ');
            break;
        }
        case '%':
            out.Put('%');
            break;
        case '\0':
            --f;  // a lone '%' at the end
            break;
        default:
            out.Put(*f);
            break;
        }
    }
    buffer[out.n] = '\0';
    return out.n;
}

SVWIN_API int wsprintfA(LPSTR buffer, LPCSTR format, ...)
{
    va_list args;
    va_start(args, format);
    int n = wvsprintfA(buffer, format, args);
    va_end(args);
    return n;
}
