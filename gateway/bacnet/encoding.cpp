#include "gateway/bacnet/encoding.h"

#include <cstring>

namespace zulgate::bacnet {
namespace {

constexpr std::uint8_t ContextBit = 0x08;
constexpr std::uint8_t OpeningLvt = 6;
constexpr std::uint8_t ClosingLvt = 7;
constexpr std::uint8_t Utf8 = 0;

// Octets of an unsigned number in its shortest form (at least one).
int UnsignedOctets(std::uint64_t value) {
    int n = 1;
    while (n < 8 && (value >> (8 * n)) != 0) ++n;
    return n;
}

// Octets of a signed number in its shortest two's complement form.
int SignedOctets(std::int64_t value) {
    int n = 1;
    while (n < 8) {
        std::int64_t low = -(std::int64_t{1} << (8 * n - 1));
        std::int64_t high = (std::int64_t{1} << (8 * n - 1)) - 1;
        if (value >= low && value <= high) break;
        ++n;
    }
    return n;
}

void PutBigEndian(Bytes& out, std::uint64_t value, int octets) {
    for (int i = octets - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint64_t BigEndian(const std::uint8_t* p, std::uint32_t n) {
    std::uint64_t value = 0;
    for (std::uint32_t i = 0; i < n; ++i) value = (value << 8) | p[i];
    return value;
}

// The contents of a value, without its tag.
Bytes Contents(const AppValue& value) {
    Bytes out;
    switch (TagOf(value)) {
    case AppTag::Null:
        break;
    case AppTag::Boolean: // only behind a context tag; an application BOOLEAN has no contents
        out.push_back(std::get<bool>(value) ? 1 : 0);
        break;
    case AppTag::Unsigned: {
        std::uint64_t v = std::get<std::uint64_t>(value);
        PutBigEndian(out, v, UnsignedOctets(v));
        break;
    }
    case AppTag::Signed: {
        std::int64_t v = std::get<std::int64_t>(value);
        PutBigEndian(out, static_cast<std::uint64_t>(v), SignedOctets(v));
        break;
    }
    case AppTag::Real: {
        std::uint32_t bits = 0;
        float v = std::get<float>(value);
        std::memcpy(&bits, &v, 4);
        PutBigEndian(out, bits, 4);
        break;
    }
    case AppTag::Double: {
        std::uint64_t bits = 0;
        double v = std::get<double>(value);
        std::memcpy(&bits, &v, 8);
        PutBigEndian(out, bits, 8);
        break;
    }
    case AppTag::OctetString:
        out = std::get<OctetString>(value).bytes;
        break;
    case AppTag::CharacterString: {
        const std::string& text = std::get<CharacterString>(value).text;
        out.push_back(Utf8);
        out.insert(out.end(), text.begin(), text.end());
        break;
    }
    case AppTag::BitString: {
        const std::vector<bool>& bits = std::get<BitString>(value).bits;
        std::size_t octets = (bits.size() + 7) / 8;
        out.push_back(static_cast<std::uint8_t>(octets * 8 - bits.size()));
        out.resize(1 + octets, 0);
        for (std::size_t i = 0; i < bits.size(); ++i) {
            if (bits[i]) out[1 + i / 8] |= static_cast<std::uint8_t>(0x80 >> (i % 8));
        }
        break;
    }
    case AppTag::Enumerated: {
        std::uint32_t v = std::get<Enumerated>(value).value;
        PutBigEndian(out, v, UnsignedOctets(v));
        break;
    }
    case AppTag::Date: {
        const Date& d = std::get<Date>(value);
        out = {d.year, d.month, d.day, d.weekday};
        break;
    }
    case AppTag::Time: {
        const Time& t = std::get<Time>(value);
        out = {t.hour, t.minute, t.second, t.hundredths};
        break;
    }
    case AppTag::ObjectIdentifier:
        PutBigEndian(out, std::get<ObjectId>(value).Raw(), 4);
        break;
    }
    return out;
}

} // namespace

void Writer::Header(std::uint8_t number, bool context, std::size_t length) {
    std::uint8_t first = context ? ContextBit : 0;
    bool extendedNumber = number >= 15;
    first |= static_cast<std::uint8_t>((extendedNumber ? 15 : number) << 4);
    if (length < 5) {
        out_.push_back(static_cast<std::uint8_t>(first | length));
        if (extendedNumber) out_.push_back(number);
        return;
    }
    out_.push_back(static_cast<std::uint8_t>(first | 5));
    if (extendedNumber) out_.push_back(number);
    if (length < 254) {
        out_.push_back(static_cast<std::uint8_t>(length));
    } else if (length <= 0xFFFF) {
        out_.push_back(254);
        PutBigEndian(out_, length, 2);
    } else {
        out_.push_back(255);
        PutBigEndian(out_, length, 4);
    }
}

void Writer::Put(std::uint8_t number, bool context, const AppValue& value) {
    if (!context && TagOf(value) == AppTag::Boolean) { // the value is the tag's length field
        Header(number, false, std::get<bool>(value) ? 1 : 0);
        return;
    }
    Bytes contents = Contents(value);
    Header(number, context, contents.size());
    out_.insert(out_.end(), contents.begin(), contents.end());
}

void Writer::Application(const AppValue& value) { Put(static_cast<std::uint8_t>(value.index()), false, value); }
void Writer::Context(std::uint8_t tag, const AppValue& value) { Put(tag, true, value); }

void Writer::Open(std::uint8_t tag) {
    std::size_t at = out_.size();
    Header(tag, true, 0);
    out_[at] |= OpeningLvt;
}

void Writer::Close(std::uint8_t tag) {
    std::size_t at = out_.size();
    Header(tag, true, 0);
    out_[at] |= ClosingLvt;
}

RejectReason RejectReasonOf(Fault fault) {
    switch (fault) {
    case Fault::None:
        return RejectReason::Other;
    case Fault::InvalidTag:
        return RejectReason::InvalidTag;
    case Fault::Missing:
        return RejectReason::MissingRequiredParameter;
    case Fault::WrongType:
    case Fault::Unsupported:
        return RejectReason::InvalidParameterDataType;
    case Fault::OutOfRange:
        return RejectReason::ParameterOutOfRange;
    case Fault::TooMany:
        return RejectReason::TooManyArguments;
    }
    return RejectReason::Other;
}

bool Reader::Peek(Tag& tag) const {
    if (Failed() || AtEnd()) return false;
    std::size_t p = pos_;
    std::uint8_t first = data_[p++];
    tag = Tag{};
    tag.context = (first & ContextBit) != 0;
    tag.number = static_cast<std::uint8_t>(first >> 4);
    if (tag.number == 15) {
        if (p >= size_) return false;
        tag.number = data_[p++];
        if (tag.number == 255) return false; // reserved
    }
    std::uint8_t lvt = first & 0x07;
    if (tag.context && (lvt == OpeningLvt || lvt == ClosingLvt)) {
        tag.kind = lvt == OpeningLvt ? Tag::Kind::Opening : Tag::Kind::Closing;
        tag.header = p - pos_;
        return true;
    }
    if (!tag.context && tag.number > static_cast<std::uint8_t>(AppTag::ObjectIdentifier)) return false;
    if (!tag.context && tag.number == static_cast<std::uint8_t>(AppTag::Boolean)) {
        if (lvt > 1) return false;
        tag.length = lvt;
        tag.header = p - pos_;
        return true;
    }
    if (lvt == OpeningLvt || lvt == ClosingLvt) return false; // opening and closing tags are context tags
    if (lvt < 5) {
        tag.length = lvt;
    } else {
        if (p >= size_) return false;
        std::uint8_t extended = data_[p++];
        int octets = extended == 254 ? 2 : extended == 255 ? 4 : 0;
        if (octets == 0) {
            tag.length = extended;
        } else {
            if (size_ - p < static_cast<std::size_t>(octets)) return false;
            tag.length = static_cast<std::uint32_t>(BigEndian(data_ + p, static_cast<std::uint32_t>(octets)));
            p += static_cast<std::size_t>(octets);
        }
    }
    tag.header = p - pos_;
    bool applicationBoolean = !tag.context && tag.number == static_cast<std::uint8_t>(AppTag::Boolean);
    return applicationBoolean || tag.length <= size_ - p;
}

bool Reader::NextIsContext(std::uint8_t number) const {
    Tag tag;
    return Peek(tag) && tag.context && tag.kind == Tag::Kind::Value && tag.number == number;
}
bool Reader::NextIsOpening(std::uint8_t number) const {
    Tag tag;
    return Peek(tag) && tag.kind == Tag::Kind::Opening && tag.number == number;
}
bool Reader::NextIsClosing(std::uint8_t number) const {
    Tag tag;
    return Peek(tag) && tag.kind == Tag::Kind::Closing && tag.number == number;
}

const std::uint8_t* Reader::Content(std::uint32_t length) {
    const std::uint8_t* at = data_ + pos_;
    pos_ += length;
    return at;
}

bool Reader::TakeContext(std::uint8_t number, Tag& tag) {
    if (Failed()) return false;
    if (AtEnd()) {
        Fail(Fault::Missing);
        return false;
    }
    if (!Peek(tag)) {
        Fail(Fault::InvalidTag);
        return false;
    }
    if (!tag.context || tag.kind != Tag::Kind::Value) {
        Fail(tag.context ? Fault::Missing : Fault::InvalidTag);
        return false;
    }
    if (tag.number != number) {
        Fail(Fault::Missing);
        return false;
    }
    pos_ += tag.header;
    return true;
}

AppValue Reader::ContextValue(std::uint8_t number, AppTag as) {
    Tag tag;
    if (!TakeContext(number, tag)) return Null{};
    AppValue value;
    if (!DecodeContents(as, Content(tag.length), tag.length, value)) {
        Fail(as == AppTag::CharacterString && tag.length > 0 ? Fault::Unsupported : Fault::InvalidTag);
        return Null{};
    }
    return value;
}

std::uint64_t Reader::ContextUnsigned(std::uint8_t number) {
    AppValue v = ContextValue(number, AppTag::Unsigned);
    return Failed() ? 0 : std::get<std::uint64_t>(v);
}
std::uint32_t Reader::ContextEnumerated(std::uint8_t number) {
    AppValue v = ContextValue(number, AppTag::Enumerated);
    return Failed() ? 0 : std::get<Enumerated>(v).value;
}
ObjectId Reader::ContextObject(std::uint8_t number) {
    AppValue v = ContextValue(number, AppTag::ObjectIdentifier);
    return Failed() ? ObjectId{} : std::get<ObjectId>(v);
}
bool Reader::ContextBoolean(std::uint8_t number) {
    AppValue v = ContextValue(number, AppTag::Boolean);
    return !Failed() && std::get<bool>(v);
}
std::string Reader::ContextText(std::uint8_t number) {
    AppValue v = ContextValue(number, AppTag::CharacterString);
    return Failed() ? std::string() : std::get<CharacterString>(v).text;
}

void Reader::Open(std::uint8_t number) {
    if (Failed()) return;
    Tag tag;
    if (AtEnd()) return Fail(Fault::Missing);
    if (!Peek(tag)) return Fail(Fault::InvalidTag);
    if (tag.kind != Tag::Kind::Opening || tag.number != number) return Fail(Fault::Missing);
    pos_ += tag.header;
}

void Reader::Close(std::uint8_t number) {
    if (Failed()) return;
    Tag tag;
    if (AtEnd()) return Fail(Fault::Missing);
    if (!Peek(tag)) return Fail(Fault::InvalidTag);
    if (tag.kind != Tag::Kind::Closing || tag.number != number) return Fail(Fault::InvalidTag);
    pos_ += tag.header;
}

AppValue Reader::Application() {
    if (Failed()) return Null{};
    Tag tag;
    if (AtEnd()) {
        Fail(Fault::Missing);
        return Null{};
    }
    if (!Peek(tag)) {
        Fail(Fault::InvalidTag);
        return Null{};
    }
    if (tag.context) {
        Fail(tag.kind == Tag::Kind::Value ? Fault::InvalidTag : Fault::Missing);
        return Null{};
    }
    pos_ += tag.header;
    AppTag as = static_cast<AppTag>(tag.number);
    if (as == AppTag::Boolean) return tag.length == 1;
    AppValue value;
    if (!DecodeContents(as, Content(tag.length), tag.length, value)) {
        Fail(as == AppTag::CharacterString && tag.length > 0 ? Fault::Unsupported : Fault::InvalidTag);
        return Null{};
    }
    return value;
}

void Reader::Skip() {
    if (Failed()) return;
    int depth = 0;
    do {
        Tag tag;
        if (AtEnd()) return Fail(depth > 0 ? Fault::InvalidTag : Fault::Missing);
        if (!Peek(tag)) return Fail(Fault::InvalidTag);
        pos_ += tag.header;
        if (tag.kind == Tag::Kind::Opening) {
            ++depth;
        } else if (tag.kind == Tag::Kind::Closing) {
            if (--depth < 0) return Fail(Fault::InvalidTag);
        } else if (tag.context || tag.number != static_cast<std::uint8_t>(AppTag::Boolean)) {
            pos_ += tag.length;
        }
    } while (depth > 0);
}

bool DecodeContents(AppTag tag, const std::uint8_t* p, std::uint32_t n, AppValue& value) {
    switch (tag) {
    case AppTag::Null:
        value = Null{};
        return n == 0;
    case AppTag::Boolean: // as a context value: one octet, 0 or 1
        if (n != 1 || p[0] > 1) return false;
        value = p[0] == 1;
        return true;
    case AppTag::Unsigned:
        if (n < 1 || n > 8) return false;
        value = BigEndian(p, n);
        return true;
    case AppTag::Signed: {
        if (n < 1 || n > 8) return false;
        std::uint64_t raw = BigEndian(p, n);
        if (n < 8 && (p[0] & 0x80)) raw |= ~std::uint64_t{0} << (8 * n); // sign-extend
        value = static_cast<std::int64_t>(raw);
        return true;
    }
    case AppTag::Real: {
        if (n != 4) return false;
        std::uint32_t bits = static_cast<std::uint32_t>(BigEndian(p, 4));
        float v;
        std::memcpy(&v, &bits, 4);
        value = v;
        return true;
    }
    case AppTag::Double: {
        if (n != 8) return false;
        std::uint64_t bits = BigEndian(p, 8);
        double v;
        std::memcpy(&v, &bits, 8);
        value = v;
        return true;
    }
    case AppTag::OctetString:
        value = OctetString{Bytes(p, p + n)};
        return true;
    case AppTag::CharacterString:
        if (n < 1 || p[0] != Utf8) return false;
        value = CharacterString{std::string(p + 1, p + n)};
        return true;
    case AppTag::BitString: {
        if (n < 1 || p[0] > 7 || (n == 1 && p[0] != 0)) return false;
        BitString bits;
        std::size_t count = (n - 1) * 8 - p[0];
        for (std::size_t i = 0; i < count; ++i) bits.bits.push_back((p[1 + i / 8] & (0x80 >> (i % 8))) != 0);
        value = bits;
        return true;
    }
    case AppTag::Enumerated:
        if (n < 1 || n > 4) return false;
        value = Enumerated{static_cast<std::uint32_t>(BigEndian(p, n))};
        return true;
    case AppTag::Date:
        if (n != 4) return false;
        value = Date{p[0], p[1], p[2], p[3]};
        return true;
    case AppTag::Time:
        if (n != 4) return false;
        value = Time{p[0], p[1], p[2], p[3]};
        return true;
    case AppTag::ObjectIdentifier:
        if (n != 4) return false;
        value = ObjectId::FromRaw(static_cast<std::uint32_t>(BigEndian(p, 4)));
        return true;
    }
    return false;
}

} // namespace zulgate::bacnet
