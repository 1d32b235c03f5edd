#pragma once

// Dynamically typed values: one packed block of bytes described by a Type, with texts kept once
// in a string dictionary and referred to by 32-bit handles.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "text_index.hpp"

namespace vela::value {

// Carries only constant texts, so copying or throwing it never allocates.
class Error : public std::exception {
  public:
    explicit Error(const char* description) noexcept : description(description) {}
    [[nodiscard]] const char* what() const noexcept override { return description; }

  private:
    const char* description;
};

[[noreturn]] void throwError(const char* description);

class Type {
  public:
    // For the primitive types the low four bits are the size of one element in bytes.
    enum class MainType : std::uint8_t {
        void_ = 0x00,
        int32 = 0x04,
        int64 = 0x08,
        float32 = 0x14,
        float64 = 0x18,
        bool_ = 0x34,
        string = 0x44,
        vector = 0x50,
        primitiveArray = 0x60,
        object = 0x80,
        complexArray = 0x90,
    };

    struct Member;
    struct ElementGroup;

    Type() noexcept;
    // Any code is accepted so that invalid ones can be carried and reported; object and
    // complexArray start empty, vector and primitiveArray with no elements of type void.
    explicit Type(MainType mainType);
    Type(const Type& other);
    Type(Type&& other) noexcept;
    Type& operator=(const Type& other);
    Type& operator=(Type&& other) noexcept;
    ~Type();

    [[nodiscard]] static Type createVector(MainType elementType, std::uint32_t numElements);
    [[nodiscard]] static Type createEmptyArray();
    [[nodiscard]] static Type createArray(Type elementType, std::uint32_t count);
    [[nodiscard]] static Type createObject(std::string_view className);

    [[nodiscard]] MainType getMainType() const noexcept { return mainType; }
    [[nodiscard]] bool isVoid() const noexcept { return mainType == MainType::void_; }
    [[nodiscard]] bool isInt32() const noexcept { return mainType == MainType::int32; }
    [[nodiscard]] bool isInt64() const noexcept { return mainType == MainType::int64; }
    [[nodiscard]] bool isInt() const noexcept { return isInt32() || isInt64(); }
    [[nodiscard]] bool isFloat32() const noexcept { return mainType == MainType::float32; }
    [[nodiscard]] bool isFloat64() const noexcept { return mainType == MainType::float64; }
    [[nodiscard]] bool isFloat() const noexcept { return isFloat32() || isFloat64(); }
    [[nodiscard]] bool isBool() const noexcept { return mainType == MainType::bool_; }
    [[nodiscard]] bool isString() const noexcept { return mainType == MainType::string; }
    [[nodiscard]] bool isVector() const noexcept { return mainType == MainType::vector; }
    [[nodiscard]] bool isPrimitiveArray() const noexcept {
        return mainType == MainType::primitiveArray;
    }
    [[nodiscard]] bool isComplexArray() const noexcept {
        return mainType == MainType::complexArray;
    }
    [[nodiscard]] bool isArray() const noexcept { return isPrimitiveArray() || isComplexArray(); }
    [[nodiscard]] bool isObject() const noexcept { return mainType == MainType::object; }
    [[nodiscard]] bool isPrimitive() const noexcept;

    // vector and primitiveArray content.
    [[nodiscard]] MainType getElementType() const noexcept { return elementType; }
    [[nodiscard]] std::uint32_t getNumElements() const noexcept { return numElements; }
    [[nodiscard]] std::uint32_t getNumVectorElements() const noexcept { return numVectorElements; }

    // object content; an object's description always exists.
    [[nodiscard]] std::string_view getClassName() const noexcept;
    [[nodiscard]] std::uint32_t getNumMembers() const noexcept;
    [[nodiscard]] const Member& getMember(std::uint32_t index) const;

    // complexArray content.
    [[nodiscard]] std::uint32_t getNumGroups() const noexcept;
    [[nodiscard]] const ElementGroup& getGroup(std::uint32_t index) const;

    [[nodiscard]] std::size_t getValueDataSize() const;
    [[nodiscard]] bool usesStrings() const;

    void addArrayElements(Type newElementType, std::uint32_t count);
    void addObjectMember(std::string_view name, Type memberType);

    [[nodiscard]] bool operator==(const Type& other) const;

  private:
    struct ObjectInfo;
    struct ComplexArrayInfo;

    // The element type of a primitiveArray as one element sees it: a vector when the elements
    // are vectors, else the plain element type.
    [[nodiscard]] Type getPrimitiveArrayElementType() const;
    [[nodiscard]] ObjectInfo& objectInfo() const;
    [[nodiscard]] ComplexArrayInfo& complexArrayInfo() const;

    MainType mainType = MainType::void_;
    MainType elementType = MainType::void_;
    std::uint32_t numElements = 0;
    std::uint32_t numVectorElements = 0;
    std::unique_ptr<ObjectInfo> object;
    std::unique_ptr<ComplexArrayInfo> complexArray;
};

struct Type::Member {
    std::string name;
    Type type;
};

struct Type::ElementGroup {
    std::uint32_t count = 0;
    Type elementType;
};

class StringDictionary {
  public:
    StringDictionary() = default;
    StringDictionary(const StringDictionary&) = default;
    StringDictionary& operator=(const StringDictionary&) = default;
    virtual ~StringDictionary();

    // Adds the text when it is new.
    [[nodiscard]] virtual std::uint32_t getHandleForString(std::string_view text) = 0;
    [[nodiscard]] virtual std::string_view getStringForHandle(std::uint32_t handle) const = 0;
};

// Every text is stored once, NUL-terminated; a handle is the text's offset plus 1, and 0 is the
// empty text. Equal texts share the first stored entry.
class SimpleStringDictionary final : public StringDictionary {
  public:
    [[nodiscard]] std::uint32_t getHandleForString(std::string_view text) override;
    [[nodiscard]] std::string_view getStringForHandle(std::uint32_t handle) const override;

    [[nodiscard]] std::size_t storeSize() const noexcept { return store.size(); }

  private:
    [[nodiscard]] std::uint32_t findHandle(std::string_view text) const;
    [[nodiscard]] bool entryEquals(std::size_t offset, std::string_view text) const;
    void indexEntries(std::size_t from);
    void rebuildIndex();

    std::vector<char> store;
    // The handle of the first entry with each text, answering what a scan of the store from its
    // start would find without its quadratic cost on large documents. Left empty while the store
    // is small enough for the scan to be quicker.
    TextIndex index;
};

// Points at packed data and its dictionary without owning them.
class ValueView {
  public:
    ValueView() noexcept = default;
    ValueView(Type type, const std::uint8_t* data, const StringDictionary* stringDictionary);

    [[nodiscard]] const Type& getType() const noexcept { return type; }
    [[nodiscard]] const std::uint8_t* getRawData() const noexcept { return data; }
    [[nodiscard]] const StringDictionary* getDictionary() const noexcept {
        return stringDictionary;
    }

    [[nodiscard]] bool isVoid() const noexcept { return type.isVoid(); }
    [[nodiscard]] bool isInt32() const noexcept { return type.isInt32(); }
    [[nodiscard]] bool isInt64() const noexcept { return type.isInt64(); }
    [[nodiscard]] bool isInt() const noexcept { return type.isInt(); }
    [[nodiscard]] bool isFloat32() const noexcept { return type.isFloat32(); }
    [[nodiscard]] bool isFloat64() const noexcept { return type.isFloat64(); }
    [[nodiscard]] bool isFloat() const noexcept { return type.isFloat(); }
    [[nodiscard]] bool isBool() const noexcept { return type.isBool(); }
    [[nodiscard]] bool isString() const noexcept { return type.isString(); }
    [[nodiscard]] bool isVector() const noexcept { return type.isVector(); }
    [[nodiscard]] bool isPrimitiveArray() const noexcept { return type.isPrimitiveArray(); }
    [[nodiscard]] bool isComplexArray() const noexcept { return type.isComplexArray(); }
    [[nodiscard]] bool isArray() const noexcept { return type.isArray(); }
    [[nodiscard]] bool isObject() const noexcept { return type.isObject(); }

    [[nodiscard]] std::uint32_t size() const;
    [[nodiscard]] ValueView operator[](std::uint32_t index) const;
    // A missing member gives a void view with no data and no dictionary.
    [[nodiscard]] ValueView operator[](std::string_view name) const;

    // A view into the dictionary, valid while it is unchanged.
    [[nodiscard]] std::string_view getString() const;
    [[nodiscard]] std::int64_t getInt64() const;
    [[nodiscard]] std::int64_t getInt64(std::int64_t defaultValue) const;
    [[nodiscard]] double getFloat64() const;
    [[nodiscard]] double getFloat64(double defaultValue) const;

  private:
    friend class Value;

    // int64 or double; the default, when there is one, replaces what cannot be converted.
    template <typename Number>
    [[nodiscard]] Number toNumber(const Number* defaultValue) const;

    Type type;
    const std::uint8_t* data = nullptr;
    const StringDictionary* stringDictionary = nullptr;
};

// Owns its packed data and its dictionary; its view always points at its own members.
class Value {
  public:
    Value();
    Value(Type type, const void* bytes, std::size_t byteCount);
    // Takes over data already packed as the type lays it out, with the dictionary its string
    // handles refer to.
    Value(Type type, std::vector<std::uint8_t> data, SimpleStringDictionary strings);
    Value(const Value& other);
    Value(Value&& other) noexcept;
    Value& operator=(const Value& other);
    Value& operator=(Value&& other) noexcept;
    ~Value() = default;

    void addArrayElement(const Value& element);
    void addArrayElement(const ValueView& element);
    // Takes the type over instead of copying it.
    void addArrayElement(Value&& element);
    void addMember(std::string_view name, const Value& member);
    void addMember(std::string_view name, const ValueView& member);
    void addMember(std::string_view name, Value&& member);
    void appendData(const ValueView& source);

    [[nodiscard]] const ValueView& getView() const noexcept { return view; }
    operator const ValueView&() const noexcept { return view; }  // NOLINT: a Value reads as a view

    [[nodiscard]] const Type& getType() const noexcept { return view.type; }
    [[nodiscard]] const std::uint8_t* getRawData() const noexcept { return view.data; }
    [[nodiscard]] std::size_t getRawDataSize() const noexcept { return packedData.size(); }
    [[nodiscard]] const SimpleStringDictionary& getDictionary() const noexcept {
        return dictionary;
    }

    [[nodiscard]] bool isVoid() const noexcept { return view.isVoid(); }
    [[nodiscard]] bool isInt32() const noexcept { return view.isInt32(); }
    [[nodiscard]] bool isInt64() const noexcept { return view.isInt64(); }
    [[nodiscard]] bool isInt() const noexcept { return view.isInt(); }
    [[nodiscard]] bool isFloat32() const noexcept { return view.isFloat32(); }
    [[nodiscard]] bool isFloat64() const noexcept { return view.isFloat64(); }
    [[nodiscard]] bool isFloat() const noexcept { return view.isFloat(); }
    [[nodiscard]] bool isBool() const noexcept { return view.isBool(); }
    [[nodiscard]] bool isString() const noexcept { return view.isString(); }
    [[nodiscard]] bool isVector() const noexcept { return view.isVector(); }
    [[nodiscard]] bool isPrimitiveArray() const noexcept { return view.isPrimitiveArray(); }
    [[nodiscard]] bool isComplexArray() const noexcept { return view.isComplexArray(); }
    [[nodiscard]] bool isArray() const noexcept { return view.isArray(); }
    [[nodiscard]] bool isObject() const noexcept { return view.isObject(); }

    [[nodiscard]] std::uint32_t size() const { return view.size(); }
    [[nodiscard]] ValueView operator[](std::uint32_t index) const { return view[index]; }
    [[nodiscard]] ValueView operator[](std::string_view name) const { return view[name]; }
    [[nodiscard]] std::string_view getString() const { return view.getString(); }
    [[nodiscard]] std::int64_t getInt64() const { return view.getInt64(); }
    [[nodiscard]] std::int64_t getInt64(std::int64_t defaultValue) const {
        return view.getInt64(defaultValue);
    }
    [[nodiscard]] double getFloat64() const { return view.getFloat64(); }
    [[nodiscard]] double getFloat64(double defaultValue) const {
        return view.getFloat64(defaultValue);
    }

  private:
    friend Value createString(std::string_view text);

    struct PreparedData;
    [[nodiscard]] PreparedData prepare(const ValueView& source) const;
    void commit(PreparedData&& prepared);
    void repoint() noexcept;

    std::vector<std::uint8_t> packedData;
    SimpleStringDictionary dictionary;
    ValueView view;
};

[[nodiscard]] Value createInt64(std::int64_t number);
[[nodiscard]] Value createFloat64(double number);
[[nodiscard]] Value createBool(bool flag);
[[nodiscard]] Value createString(std::string_view text);
[[nodiscard]] Value createEmptyArray();
[[nodiscard]] Value createObject(std::string_view className = {});

}  // namespace vela::value
