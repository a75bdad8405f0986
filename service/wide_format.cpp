// printf-style formatting of UTF-16 text for the service's messages and event texts.
#include "service/wide_format.h"

#include <string>

namespace {

struct SFieldFormat {
  bool left = false;
  bool zero = false;
  bool plus = false;
  bool space = false;
  bool alternate = false;
  size_t width = 0;
  bool hasPrecision = false;
  size_t precision = 0;
};

WString Digits(uint64_t value, unsigned base, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  WString out;
  do {
    out.insert(out.begin(), static_cast<WCHAR>(digits[value % base]));
    value /= base;
  } while (value != 0);
  return out;
}

// The value as unsigned in its own width, as printf sees a negative int given to %u or %x.
uint64_t UnsignedInOwnWidth(const CFormatArg& arg) {
  if (arg.size >= sizeof(uint64_t)) return arg.bits;
  return arg.bits & ((uint64_t{1} << (arg.size * 8)) - 1);
}

void Pad(WString* out, const WString& prefix, const WString& body, const SFieldFormat& field, bool numeric) {
  const size_t length = prefix.size() + body.size();
  const size_t fill = field.width > length ? field.width - length : 0;
  if (field.left) {
    *out += prefix + body + WString(fill, ' ');
  } else if (numeric && field.zero && !field.hasPrecision) {
    *out += prefix + WString(fill, '0') + body;
  } else {
    *out += WString(fill, ' ') + prefix + body;
  }
}

bool FormatInteger(WString* out, const CFormatArg& arg, WCHAR conversion, const SFieldFormat& field) {
  if (arg.kind == CFormatArg::Kind::Text) return false;
  WString prefix;
  uint64_t magnitude = 0;
  unsigned base = 10;
  if (conversion == 'd' || conversion == 'i') {
    const bool negative = arg.kind == CFormatArg::Kind::Signed && static_cast<int64_t>(arg.bits) < 0;
    // Negating through unsigned arithmetic keeps the smallest int64_t defined.
    magnitude = negative ? ~arg.bits + 1 : arg.bits;
    if (negative) {
      prefix = WTEXT("-");
    } else if (field.plus) {
      prefix = WTEXT("+");
    } else if (field.space) {
      prefix = WTEXT(" ");
    }
  } else {
    magnitude = UnsignedInOwnWidth(arg);
    if (conversion == 'x' || conversion == 'X') base = 16;
    if (conversion == 'o') base = 8;
    if (field.alternate && magnitude != 0 && base == 16) prefix = conversion == 'x' ? WTEXT("0x") : WTEXT("0X");
  }
  WString body = field.hasPrecision && field.precision == 0 && magnitude == 0 ? WString()
                                                                            : Digits(magnitude, base, conversion == 'X');
  if (field.hasPrecision && body.size() < field.precision) body.insert(0, field.precision - body.size(), '0');
  if (field.alternate && base == 8 && (body.empty() || body[0] != '0')) body.insert(body.begin(), '0');
  Pad(out, prefix, body, field, true);
  return true;
}

}  // namespace

bool FormatWide(const WCHAR* format, std::span<const CFormatArg> args, WString* out) {
  out->clear();
  if (format == nullptr) return false;
  size_t next = 0;
  for (const WCHAR* p = format; *p != 0; ++p) {
    if (*p != '%') {
      out->push_back(*p);
      continue;
    }
    ++p;
    if (*p == '%') {
      out->push_back('%');
      continue;
    }
    SFieldFormat field;
    for (;; ++p) {
      if (*p == '-') {
        field.left = true;
      } else if (*p == '0') {
        field.zero = true;
      } else if (*p == '+') {
        field.plus = true;
      } else if (*p == ' ') {
        field.space = true;
      } else if (*p == '#') {
        field.alternate = true;
      } else {
        break;
      }
    }
    for (; *p >= '0' && *p <= '9'; ++p) field.width = field.width * 10 + static_cast<size_t>(*p - '0');
    if (*p == '.') {
      field.hasPrecision = true;
      for (++p; *p >= '0' && *p <= '9'; ++p) field.precision = field.precision * 10 + static_cast<size_t>(*p - '0');
    }
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      p += 3;
    } else {
      while (*p == 'h' || *p == 'l' || *p == 'z' || *p == 'j' || *p == 't') ++p;
    }

    const WCHAR conversion = *p;
    if (conversion == 0) return false;  // a format that ends inside a conversion
    if (next >= args.size()) return false;
    const CFormatArg& arg = args[next++];
    switch (conversion) {
      case 'd':
      case 'i':
      case 'u':
      case 'x':
      case 'X':
      case 'o':
        if (!FormatInteger(out, arg, conversion, field)) return false;
        break;
      case 'c':
        if (arg.kind == CFormatArg::Kind::Text) return false;
        Pad(out, WString(), WString(1, static_cast<WCHAR>(arg.bits)), field, false);
        break;
      case 's': {
        if (arg.kind != CFormatArg::Kind::Text) return false;
        std::basic_string_view<WCHAR> text = arg.text;
        if (field.hasPrecision && text.size() > field.precision) text = text.substr(0, field.precision);
        Pad(out, WString(), WString(text), field, false);
        break;
      }
      default:
        return false;
    }
  }
  return true;
}
