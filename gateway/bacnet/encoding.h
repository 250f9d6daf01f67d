// BACnet's tagged encoding: application tags (NULL to object identifier),
// context tags, opening and closing tags. The Writer appends; the Reader
// takes elements front to back and never reads past its end: what it cannot
// take makes it fail (the first fault is kept), and every later call then
// returns zero values, so a service decodes its whole request and asks once
// whether it worked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "gateway/bacnet/numbers.h"

namespace zulgate::bacnet {

using Bytes = std::vector<std::uint8_t>;

struct ObjectId {
    ObjectType type = ObjectType::Device;
    std::uint32_t instance = 0;

    std::uint32_t Raw() const { return (static_cast<std::uint32_t>(type) << 22) | (instance & 0x3FFFFF); }
    static ObjectId FromRaw(std::uint32_t raw) { return {static_cast<ObjectType>(raw >> 22), raw & 0x3FFFFF}; }
    bool operator==(const ObjectId& other) const { return Raw() == other.Raw(); }
    bool operator!=(const ObjectId& other) const { return !(*this == other); }
    bool operator<(const ObjectId& other) const { return Raw() < other.Raw(); }
};

struct Null {
    bool operator==(const Null&) const { return true; }
};
struct Enumerated {
    std::uint32_t value = 0;
    bool operator==(const Enumerated& other) const { return value == other.value; }
};
struct OctetString {
    Bytes bytes;
    bool operator==(const OctetString& other) const { return bytes == other.bytes; }
};
struct CharacterString { // UTF-8 (character set 0)
    std::string text;
    bool operator==(const CharacterString& other) const { return text == other.text; }
};
struct BitString {
    std::vector<bool> bits;
    bool operator==(const BitString& other) const { return bits == other.bits; }
};
struct Date { // year - 1900, month 1..12, day 1..31, weekday 1..7 (Monday 1); 255 any
    std::uint8_t year = 255, month = 255, day = 255, weekday = 255;
    bool operator==(const Date& o) const {
        return year == o.year && month == o.month && day == o.day && weekday == o.weekday;
    }
};
struct Time { // 255 any
    std::uint8_t hour = 255, minute = 255, second = 255, hundredths = 255;
    bool operator==(const Time& o) const {
        return hour == o.hour && minute == o.minute && second == o.second && hundredths == o.hundredths;
    }
};

// One application-tagged value; the alternative's index is its tag number.
using AppValue = std::variant<Null, bool, std::uint64_t, std::int64_t, float, double, OctetString, CharacterString,
                              BitString, Enumerated, Date, Time, ObjectId>;
enum class AppTag : std::uint8_t {
    Null = 0,
    Boolean = 1,
    Unsigned = 2,
    Signed = 3,
    Real = 4,
    Double = 5,
    OctetString = 6,
    CharacterString = 7,
    BitString = 8,
    Enumerated = 9,
    Date = 10,
    Time = 11,
    ObjectIdentifier = 12,
};
inline AppTag TagOf(const AppValue& value) { return static_cast<AppTag>(value.index()); }

class Writer {
public:
    explicit Writer(Bytes& out) : out_(out) {}

    void Application(const AppValue& value);
    void Null() { Application(bacnet::Null{}); }
    void Boolean(bool value) { Application(value); }
    void Unsigned(std::uint64_t value) { Application(value); }
    void Real(float value) { Application(value); }
    void Enumerated(std::uint32_t value) { Application(bacnet::Enumerated{value}); }
    void Text(std::string_view utf8) { Application(CharacterString{std::string(utf8)}); }
    void Object(ObjectId id) { Application(id); }

    // The same contents behind a context tag.
    void Context(std::uint8_t tag, const AppValue& value);
    void ContextUnsigned(std::uint8_t tag, std::uint64_t value) { Context(tag, value); }
    void ContextEnumerated(std::uint8_t tag, std::uint32_t value) { Context(tag, bacnet::Enumerated{value}); }
    void ContextObject(std::uint8_t tag, ObjectId id) { Context(tag, id); }
    void Open(std::uint8_t tag);
    void Close(std::uint8_t tag);

private:
    void Header(std::uint8_t number, bool context, std::size_t length);
    void Put(std::uint8_t number, bool context, const AppValue& value);

    Bytes& out_;
};

// Why a request could not be taken; each has its Reject reason.
enum class Fault : std::uint8_t {
    None,
    InvalidTag,  // a tag that is malformed, of the wrong class, or whose length does not fit
    Missing,     // a required element is absent
    WrongType,   // an element of another datatype than the service asks
    OutOfRange,  // a value the service cannot take
    TooMany,     // elements after the last one the service takes
    Unsupported, // a character set other than UTF-8
};
RejectReason RejectReasonOf(Fault fault);

struct Tag {
    enum class Kind : std::uint8_t { Value, Opening, Closing };
    std::uint8_t number = 0;
    bool context = false;
    Kind kind = Kind::Value;
    std::uint32_t length = 0; // content octets; for an application BOOLEAN, its value
    std::size_t header = 0;   // octets of the tag itself
};

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool AtEnd() const { return pos_ >= size_; }
    bool Failed() const { return fault_ != Fault::None; }
    Fault GetFault() const { return fault_; }
    void Fail(Fault fault) {
        if (fault_ == Fault::None) fault_ = fault;
    }
    // Fails with TooMany unless everything was taken.
    void ExpectEnd() {
        if (!AtEnd()) Fail(Fault::TooMany);
    }

    // The next tag, without taking it: false at the end, after a failure, or
    // when the tag is malformed.
    bool Peek(Tag& tag) const;
    bool NextIsContext(std::uint8_t number) const; // a context value tag
    bool NextIsOpening(std::uint8_t number) const;
    bool NextIsClosing(std::uint8_t number) const;

    // Required elements: a context value read as the datatype `as`.
    AppValue ContextValue(std::uint8_t number, AppTag as);
    std::uint64_t ContextUnsigned(std::uint8_t number);
    std::uint32_t ContextEnumerated(std::uint8_t number);
    ObjectId ContextObject(std::uint8_t number);
    bool ContextBoolean(std::uint8_t number);
    std::string ContextText(std::uint8_t number);
    void Open(std::uint8_t number);
    void Close(std::uint8_t number);
    AppValue Application();

    // One element whatever it is: a value, or an opening tag with everything
    // up to its closing tag.
    void Skip();

private:
    bool TakeContext(std::uint8_t number, Tag& tag);
    const std::uint8_t* Content(std::uint32_t length);

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    Fault fault_ = Fault::None;
};

// The contents of a primitive value of the given datatype, as the encoding
// rules lay them out; false when the octets cannot be that datatype.
bool DecodeContents(AppTag tag, const std::uint8_t* contents, std::uint32_t length, AppValue& value);

} // namespace zulgate::bacnet
