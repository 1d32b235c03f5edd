#include "value.hpp"

#include "text.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace vela::value {

namespace {

constexpr std::uint32_t kMaxArrayElements = 0x100000;
constexpr std::uint32_t kMaxVectorElements = 256;

template <typename T>
T readScalar(const std::uint8_t* data) {
    T result;
    std::memcpy(&result, data, sizeof(T));
    return result;
}

template <typename T>
void writeScalar(std::uint8_t* data, T number) {
    std::memcpy(data, &number, sizeof(T));
}

std::size_t primitiveSize(Type::MainType type) {
    return static_cast<std::size_t>(type) & 0x0F;
}

// Truncates toward zero and saturates, as a cast would do if it were defined for every input.
std::int64_t saturatingInt64(double number) {
    if (std::isnan(number)) {
        return 0;
    }
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (number >= kTwoTo63) {
        return std::numeric_limits<std::int64_t>::max();
    }
    if (number < -kTwoTo63) {
        return std::numeric_limits<std::int64_t>::min();
    }
    return static_cast<std::int64_t>(number);
}

}  // namespace

void throwError(const char* description) {
    throw Error(description);
}

//==============================================================================================
// Type

// The data size and whether a string lies anywhere below are kept up to date as members and
// elements are added, so that asking for them never walks the tree: walking it at every level of
// a deep value would make reading and writing it cost the cube of its depth.
struct Type::ObjectInfo {
    std::string className;
    std::vector<Member> members;
    std::size_t dataSize = 0;
    bool holdsStrings = false;
    // Member index + 1 by name, so that the check of a new name against the earlier ones does not
    // cost the width of the object: a page can send objects of tens of thousands of members. Left
    // empty while a scan of the members is quicker.
    TextIndex index;

    [[nodiscard]] bool hasMember(std::string_view name) const;
    // Leaves the index as it was when it throws.
    void indexLastMember();
};

namespace {

// Objects of up to this many members are scanned rather than indexed.
constexpr std::size_t kScanMembers = 32;

}  // namespace

bool Type::ObjectInfo::hasMember(std::string_view name) const {
    if (index.empty()) {
        return std::any_of(members.begin(), members.end(),
                           [&](const Member& member) { return member.name == name; });
    }
    return index.find(name,
                      [&](std::uint32_t handle) { return members[handle - 1].name == name; }) != 0;
}

void Type::ObjectInfo::indexLastMember() {
    const std::size_t count = members.size();
    if (index.empty() ? count > kScanMembers : !index.hasRoomForOneMore()) {
        index.reset(count);
        for (std::size_t i = 0; i < count; ++i) {
            index.place(members[i].name, static_cast<std::uint32_t>(i) + 1);
        }
    } else if (!index.empty()) {
        index.place(members.back().name, static_cast<std::uint32_t>(count));
    }
}

struct Type::ComplexArrayInfo {
    std::vector<ElementGroup> groups;
    std::size_t dataSize = 0;
    bool holdsStrings = false;
};

Type::Type(MainType type) : mainType(type) {
    if (mainType == MainType::object) {
        object = std::make_unique<ObjectInfo>();
    } else if (mainType == MainType::complexArray) {
        complexArray = std::make_unique<ComplexArrayInfo>();
    }
}

Type::Type(const Type& other)
    : mainType(other.mainType),
      elementType(other.elementType),
      numElements(other.numElements),
      numVectorElements(other.numVectorElements) {
    if (other.object) {
        object = std::make_unique<ObjectInfo>(*other.object);
    }
    if (other.complexArray) {
        complexArray = std::make_unique<ComplexArrayInfo>(*other.complexArray);
    }
}

Type::Type(Type&& other) noexcept
    : mainType(std::exchange(other.mainType, MainType::void_)),
      elementType(std::exchange(other.elementType, MainType::void_)),
      numElements(std::exchange(other.numElements, 0)),
      numVectorElements(std::exchange(other.numVectorElements, 0)),
      object(std::move(other.object)),
      complexArray(std::move(other.complexArray)) {}

Type& Type::operator=(const Type& other) {
    if (this != &other) {
        Type copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Type& Type::operator=(Type&& other) noexcept {
    if (this != &other) {
        mainType = std::exchange(other.mainType, MainType::void_);
        elementType = std::exchange(other.elementType, MainType::void_);
        numElements = std::exchange(other.numElements, 0);
        numVectorElements = std::exchange(other.numVectorElements, 0);
        object = std::move(other.object);
        complexArray = std::move(other.complexArray);
    }
    return *this;
}

Type::Type() noexcept = default;

Type::~Type() = default;

Type Type::createVector(MainType vectorElementType, std::uint32_t count) {
    Type type(MainType::vector);
    type.elementType = vectorElementType;
    type.numElements = count;
    return type;
}

Type Type::createEmptyArray() {
    return Type(MainType::primitiveArray);
}

Type Type::createArray(Type arrayElementType, std::uint32_t count) {
    if (count >= kMaxArrayElements) {
        throwError("Too many array elements");
    }
    if (arrayElementType.isPrimitive()) {
        Type type(MainType::primitiveArray);
        type.elementType = arrayElementType.mainType;
        type.numElements = count;
        return type;
    }
    if (arrayElementType.isVector()) {
        Type type(MainType::primitiveArray);
        type.elementType = arrayElementType.elementType;
        type.numElements = count;
        type.numVectorElements = arrayElementType.numElements;
        return type;
    }
    Type type(MainType::complexArray);
    type.addArrayElements(std::move(arrayElementType), count);
    return type;
}

Type Type::createObject(std::string_view className) {
    Type type(MainType::object);
    type.object->className = className;
    return type;
}

bool Type::isPrimitive() const noexcept {
    switch (mainType) {
        case MainType::int32:
        case MainType::int64:
        case MainType::float32:
        case MainType::float64:
        case MainType::bool_:
            return true;
        default:
            return false;
    }
}

Type::ObjectInfo& Type::objectInfo() const {
    if (!isObject() || !object) {
        throwError("This type is not an object");
    }
    return *object;
}

Type::ComplexArrayInfo& Type::complexArrayInfo() const {
    if (!isComplexArray() || !complexArray) {
        throwError("Invalid type");
    }
    return *complexArray;
}

std::string_view Type::getClassName() const noexcept {
    return object ? std::string_view(object->className) : std::string_view();
}

std::uint32_t Type::getNumMembers() const noexcept {
    return object ? static_cast<std::uint32_t>(object->members.size()) : 0;
}

const Type::Member& Type::getMember(std::uint32_t index) const {
    const auto& members = objectInfo().members;
    if (index >= members.size()) {
        throwError("Index out of range");
    }
    return members[index];
}

std::uint32_t Type::getNumGroups() const noexcept {
    return complexArray ? static_cast<std::uint32_t>(complexArray->groups.size()) : 0;
}

const Type::ElementGroup& Type::getGroup(std::uint32_t index) const {
    const auto& groups = complexArrayInfo().groups;
    if (index >= groups.size()) {
        throwError("Index out of range");
    }
    return groups[index];
}

std::size_t Type::getValueDataSize() const {
    switch (mainType) {
        case MainType::void_:
            return 0;
        case MainType::int32:
        case MainType::int64:
        case MainType::float32:
        case MainType::float64:
        case MainType::bool_:
        case MainType::string:
            return primitiveSize(mainType);
        case MainType::vector:
            return primitiveSize(elementType) * numElements;
        case MainType::primitiveArray:
            return primitiveSize(elementType) * numElements *
                   std::max<std::size_t>(numVectorElements, 1);
        case MainType::object:
            return objectInfo().dataSize;
        case MainType::complexArray:
            return complexArrayInfo().dataSize;
    }
    throwError("Invalid type");
}

bool Type::usesStrings() const {
    if (isString()) {
        return true;
    }
    if (isObject()) {
        return objectInfo().holdsStrings;
    }
    if (isComplexArray()) {
        return complexArrayInfo().holdsStrings;
    }
    return false;
}

Type Type::getPrimitiveArrayElementType() const {
    if (numVectorElements != 0) {
        if (numVectorElements > kMaxVectorElements) {
            throwError("Too many vector elements");
        }
        return createVector(elementType, numVectorElements);
    }
    return Type(elementType);
}

void Type::addArrayElements(Type newElementType, std::uint32_t count) {
    if (isPrimitiveArray()) {
        Type current = getPrimitiveArrayElementType();
        if (newElementType == current) {
            numElements += count;
            return;
        }
        if (numElements == 0) {
            *this = createArray(std::move(newElementType), count);
            return;
        }
        Type complex(MainType::complexArray);
        complex.addArrayElements(std::move(current), numElements);
        *this = std::move(complex);
    }
    if (isComplexArray()) {
        auto& info = complexArrayInfo();
        const std::size_t addedSize = count * newElementType.getValueDataSize();
        const bool addedStrings = newElementType.usesStrings();
        if (!info.groups.empty() && info.groups.back().elementType == newElementType) {
            info.groups.back().count += count;
        } else {
            info.groups.push_back(ElementGroup{count, std::move(newElementType)});
        }
        info.dataSize += addedSize;
        info.holdsStrings = info.holdsStrings || addedStrings;
        return;
    }
    throwError("Cannot add new elements to this type");
}

void Type::addObjectMember(std::string_view name, Type memberType) {
    auto& info = objectInfo();
    if (info.hasMember(name)) {
        throwError("This object already contains a member with the given name");
    }
    const std::size_t memberSize = memberType.getValueDataSize();
    const bool memberStrings = memberType.usesStrings();
    info.members.push_back(Member{std::string(name), std::move(memberType)});
    try {
        info.indexLastMember();
    } catch (...) {
        info.members.pop_back();
        throw;
    }
    info.dataSize += memberSize;
    info.holdsStrings = info.holdsStrings || memberStrings;
}

bool Type::operator==(const Type& other) const {
    if (mainType != other.mainType) {
        return false;
    }
    switch (mainType) {
        case MainType::vector:
            return elementType == other.elementType && numElements == other.numElements;
        case MainType::primitiveArray:
            return elementType == other.elementType && numElements == other.numElements &&
                   numVectorElements == other.numVectorElements;
        case MainType::object: {
            const auto& mine = objectInfo();
            const auto& theirs = other.objectInfo();
            if (mine.className != theirs.className ||
                mine.members.size() != theirs.members.size()) {
                return false;
            }
            for (std::size_t i = 0; i < mine.members.size(); ++i) {
                if (mine.members[i].name != theirs.members[i].name ||
                    !(mine.members[i].type == theirs.members[i].type)) {
                    return false;
                }
            }
            return true;
        }
        case MainType::complexArray: {
            const auto& mine = complexArrayInfo().groups;
            const auto& theirs = other.complexArrayInfo().groups;
            if (mine.size() != theirs.size()) {
                return false;
            }
            for (std::size_t i = 0; i < mine.size(); ++i) {
                if (mine[i].count != theirs[i].count ||
                    !(mine[i].elementType == theirs[i].elementType)) {
                    return false;
                }
            }
            return true;
        }
        default:
            return true;
    }
}

//==============================================================================================
// Dictionaries

StringDictionary::~StringDictionary() = default;

namespace {

// Stores up to this size are scanned rather than indexed.
constexpr std::size_t kScanLimit = 256;

}  // namespace

std::uint32_t SimpleStringDictionary::getHandleForString(std::string_view text) {
    if (text.empty()) {
        return 0;
    }
    // A text holding a NUL never equals a stored entry, which ends at its first NUL.
    if (text.find('\0') == std::string_view::npos) {
        if (const std::uint32_t handle = findHandle(text); handle != 0) {
            return handle;
        }
    }
    const std::size_t offset = store.size();
    if (offset + text.size() + 1 >= std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("string dictionary full");
    }
    store.insert(store.end(), text.begin(), text.end());
    store.push_back('\0');
    indexEntries(offset);
    return static_cast<std::uint32_t>(offset) + 1;
}

bool SimpleStringDictionary::entryEquals(std::size_t offset, std::string_view text) const {
    return offset + text.size() < store.size() && store[offset + text.size()] == '\0' &&
           std::memcmp(store.data() + offset, text.data(), text.size()) == 0;
}

std::uint32_t SimpleStringDictionary::findHandle(std::string_view text) const {
    if (index.empty()) {
        for (std::size_t offset = 0; offset < store.size();) {
            const std::size_t length = std::strlen(store.data() + offset);
            if (length == text.size() && entryEquals(offset, text)) {
                return static_cast<std::uint32_t>(offset) + 1;
            }
            offset += length + 1;
        }
        return 0;
    }
    return index.find(text, [&](std::uint32_t handle) { return entryEquals(handle - 1, text); });
}

// Entries in store order, so that the first of equal texts is the one kept; at most a quarter of
// the slots end up used.
void SimpleStringDictionary::rebuildIndex() {
    std::size_t entries = 0;
    for (std::size_t offset = 0; offset < store.size(); ++offset) {
        entries += store[offset] == '\0' ? 1 : 0;
    }
    index.reset(entries);
    for (std::size_t offset = 0; offset < store.size();) {
        const std::string_view text(store.data() + offset);
        if (!text.empty() && findHandle(text) == 0) {
            index.place(text, static_cast<std::uint32_t>(offset) + 1);
        }
        offset += text.size() + 1;
    }
}

// An appended text with NULs inside reads, entry by entry, as several texts: each piece is
// indexed so that later lookups find what a scan would.
void SimpleStringDictionary::indexEntries(std::size_t from) {
    if (index.empty()) {
        if (store.size() > kScanLimit) {
            rebuildIndex();
        }
        return;
    }
    for (std::size_t offset = from; offset < store.size();) {
        const std::string_view text(store.data() + offset);
        if (!text.empty() && findHandle(text) == 0) {
            if (!index.hasRoomForOneMore()) {
                rebuildIndex();  // covers this and the following pieces too
                return;
            }
            index.place(text, static_cast<std::uint32_t>(offset) + 1);
        }
        offset += text.size() + 1;
    }
}

std::string_view SimpleStringDictionary::getStringForHandle(std::uint32_t handle) const {
    if (handle == 0) {
        return {};
    }
    if (handle > store.size()) {
        throwError("Unknown string");
    }
    const char* text = store.data() + (handle - 1);
    return std::string_view(text, std::strlen(text));
}

//==============================================================================================
// ValueView

ValueView::ValueView(Type viewType, const std::uint8_t* viewData,
                     const StringDictionary* dictionary)
    : type(std::move(viewType)), data(viewData), stringDictionary(dictionary) {}

std::uint32_t ValueView::size() const {
    switch (type.getMainType()) {
        case Type::MainType::vector:
        case Type::MainType::primitiveArray:
            return type.getNumElements();
        case Type::MainType::object:
            return type.getNumMembers();
        case Type::MainType::complexArray: {
            std::uint32_t total = 0;
            for (std::uint32_t i = 0; i < type.getNumGroups(); ++i) {
                total += type.getGroup(i).count;
            }
            return total;
        }
        case Type::MainType::int32:
        case Type::MainType::int64:
        case Type::MainType::float32:
        case Type::MainType::float64:
        case Type::MainType::bool_:
        case Type::MainType::string:
            return 1;
        default:
            throwError("This type doesn't have sub-elements");
    }
}

ValueView ValueView::operator[](std::uint32_t index) const {
    switch (type.getMainType()) {
        case Type::MainType::vector: {
            if (index >= type.getNumElements()) {
                throwError("Index out of range");
            }
            const auto elementType = type.getElementType();
            return ValueView(Type(elementType), data + primitiveSize(elementType) * index,
                             stringDictionary);
        }
        case Type::MainType::primitiveArray: {
            if (index >= type.getNumElements()) {
                throwError("Index out of range");
            }
            const auto elementType = type.getElementType();
            const auto numVectorElements = type.getNumVectorElements();
            if (numVectorElements == 0) {
                return ValueView(Type(elementType), data + primitiveSize(elementType) * index,
                                 stringDictionary);
            }
            if (numVectorElements > kMaxVectorElements) {
                throwError("Too many vector elements");
            }
            return ValueView(
                Type::createVector(elementType, numVectorElements),
                data + primitiveSize(elementType) * numVectorElements * std::size_t{index},
                stringDictionary);
        }
        case Type::MainType::object: {
            if (index >= type.getNumMembers()) {
                throwError("Index out of range");
            }
            std::size_t offset = 0;
            for (std::uint32_t i = 0; i < index; ++i) {
                offset += type.getMember(i).type.getValueDataSize();
            }
            return ValueView(type.getMember(index).type, data + offset, stringDictionary);
        }
        case Type::MainType::complexArray: {
            std::size_t offset = 0;
            std::uint32_t remaining = index;
            for (std::uint32_t i = 0; i < type.getNumGroups(); ++i) {
                const auto& group = type.getGroup(i);
                const std::size_t elementSize = group.elementType.getValueDataSize();
                if (remaining < group.count) {
                    return ValueView(group.elementType, data + offset + elementSize * remaining,
                                     stringDictionary);
                }
                remaining -= group.count;
                offset += elementSize * group.count;
            }
            throwError("Index out of range");
        }
        default:
            throwError("Invalid type");
    }
}

ValueView ValueView::operator[](std::string_view name) const {
    if (!type.isObject()) {
        throwError("This type is not an object");
    }
    std::size_t offset = 0;
    for (std::uint32_t i = 0; i < type.getNumMembers(); ++i) {
        const auto& member = type.getMember(i);
        if (member.name == name) {
            return ValueView(member.type, data + offset, stringDictionary);
        }
        offset += member.type.getValueDataSize();
    }
    return {};
}

std::string_view ValueView::getString() const {
    if (stringDictionary == nullptr) {
        throwError("No string dictionary supplied");
    }
    if (!type.isString()) {
        throwError("Value is not a string");
    }
    return stringDictionary->getStringForHandle(readScalar<std::uint32_t>(data));
}

std::int64_t ValueView::getInt64() const {
    return toNumber<std::int64_t>(nullptr);
}

std::int64_t ValueView::getInt64(std::int64_t defaultValue) const {
    return toNumber(&defaultValue);
}

double ValueView::getFloat64() const {
    return toNumber<double>(nullptr);
}

double ValueView::getFloat64(double defaultValue) const {
    return toNumber(&defaultValue);
}

template <typename Number>
Number ValueView::toNumber(const Number* defaultValue) const {
    constexpr bool kToInteger = std::is_same_v<Number, std::int64_t>;
    const auto fromFloat = [](double number) -> Number {
        if constexpr (kToInteger) {
            return saturatingInt64(number);
        } else {
            return number;
        }
    };
    switch (type.getMainType()) {
        case Type::MainType::int32:
            return static_cast<Number>(readScalar<std::int32_t>(data));
        case Type::MainType::int64:
            return static_cast<Number>(readScalar<std::int64_t>(data));
        case Type::MainType::float32:
            return fromFloat(readScalar<float>(data));
        case Type::MainType::float64:
            return fromFloat(readScalar<double>(data));
        case Type::MainType::bool_:
            return readScalar<std::uint32_t>(data) != 0 ? 1 : 0;
        case Type::MainType::string: {
            if (stringDictionary == nullptr) {
                throwError("No string dictionary supplied");
            }
            // The C conversions need a terminated text.
            const std::string text(getString());
            if (text.empty()) {
                return defaultValue != nullptr ? *defaultValue : 0;
            }
            char* end = nullptr;
            Number number = 0;
            if constexpr (kToInteger) {
                number = std::strtoll(text.c_str(), &end, 10);
            } else {
                number = text::parseDouble(text.c_str(), &end);
            }
            if (end != text.c_str()) {
                return number;
            }
            break;
        }
        case Type::MainType::vector:
            if (type.getNumElements() == 1) {
                return (*this)[0].toNumber(defaultValue);
            }
            break;
        default:
            break;
    }
    if (defaultValue == nullptr) {
        throwError("Cannot convert this value to a numeric type");
    }
    return *defaultValue;
}

//==============================================================================================
// Value

// The bytes to append and the texts whose handles must be re-issued by this value's dictionary.
// Gathering them first lets every check run before anything is changed.
struct Value::PreparedData {
    const std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    // Only when the source lies inside this value's own data, which the append may move.
    std::vector<std::uint8_t> ownCopy;
    std::vector<std::pair<std::size_t, std::string_view>> strings;
};

namespace {

void collectStrings(const Type& type, const std::uint8_t* data, std::size_t offset,
                    const StringDictionary& source,
                    std::vector<std::pair<std::size_t, std::string_view>>& strings) {
    if (type.isString()) {
        strings.emplace_back(offset, source.getStringForHandle(readScalar<std::uint32_t>(data)));
    } else if (type.isObject()) {
        for (std::uint32_t i = 0; i < type.getNumMembers(); ++i) {
            const auto& memberType = type.getMember(i).type;
            collectStrings(memberType, data, offset, source, strings);
            const std::size_t size = memberType.getValueDataSize();
            data += size;
            offset += size;
        }
    } else if (type.isComplexArray()) {
        for (std::uint32_t i = 0; i < type.getNumGroups(); ++i) {
            const auto& group = type.getGroup(i);
            const std::size_t elementSize = group.elementType.getValueDataSize();
            if (group.elementType.usesStrings()) {
                for (std::uint32_t j = 0; j < group.count; ++j) {
                    collectStrings(group.elementType, data, offset, source, strings);
                    data += elementSize;
                    offset += elementSize;
                }
            } else {
                data += elementSize * group.count;
                offset += elementSize * group.count;
            }
        }
    }
}

}  // namespace

Value::Value() {
    repoint();
}

Value::Value(Type type, const void* bytes, std::size_t byteCount) {
    const auto* first = static_cast<const std::uint8_t*>(bytes);
    if (byteCount != 0) {
        packedData.assign(first, first + byteCount);
    }
    view.type = std::move(type);
    repoint();
}

Value::Value(Type type, std::vector<std::uint8_t> data, SimpleStringDictionary strings)
    : packedData(std::move(data)), dictionary(std::move(strings)) {
    if (packedData.size() != type.getValueDataSize()) {
        throwError("Invalid type");
    }
    view.type = std::move(type);
    repoint();
}

Value::Value(const Value& other) : packedData(other.packedData), dictionary(other.dictionary) {
    view.type = other.view.type;
    repoint();
}

Value::Value(Value&& other) noexcept
    : packedData(std::move(other.packedData)), dictionary(std::move(other.dictionary)) {
    view.type = std::move(other.view.type);
    repoint();
    other.packedData.clear();
    other.dictionary = SimpleStringDictionary();
    other.repoint();
}

Value& Value::operator=(const Value& other) {
    if (this != &other) {
        Value copy(other);
        *this = std::move(copy);
    }
    return *this;
}

Value& Value::operator=(Value&& other) noexcept {
    if (this != &other) {
        packedData = std::move(other.packedData);
        dictionary = std::move(other.dictionary);
        view.type = std::move(other.view.type);
        repoint();
        other.packedData.clear();
        other.dictionary = SimpleStringDictionary();
        other.repoint();
    }
    return *this;
}

void Value::repoint() noexcept {
    view.data = packedData.data();
    view.stringDictionary = &dictionary;
}

Value::PreparedData Value::prepare(const ValueView& source) const {
    PreparedData prepared;
    prepared.size = source.type.getValueDataSize();
    if (prepared.size != 0) {
        if (source.data == nullptr) {
            throwError("Invalid type");
        }
        prepared.bytes = source.data;
        const std::uint8_t* const own = packedData.data();
        if (source.data + prepared.size > own && source.data < own + packedData.size()) {
            prepared.ownCopy.assign(source.data, source.data + prepared.size);
            prepared.bytes = prepared.ownCopy.data();
        }
    }
    if (source.stringDictionary != nullptr && source.stringDictionary != &dictionary) {
        collectStrings(source.type, prepared.bytes, 0, *source.stringDictionary, prepared.strings);
    }
    return prepared;
}

void Value::commit(PreparedData&& prepared) {
    const std::size_t start = packedData.size();
    packedData.insert(packedData.end(), prepared.bytes, prepared.bytes + prepared.size);
    for (const auto& [offset, text] : prepared.strings) {
        writeScalar<std::uint32_t>(packedData.data() + start + offset,
                                   dictionary.getHandleForString(text));
    }
    repoint();
}

void Value::appendData(const ValueView& source) {
    commit(prepare(source));
}

void Value::addArrayElement(const Value& element) {
    addArrayElement(element.getView());
}

void Value::addArrayElement(const ValueView& element) {
    auto prepared = prepare(element);
    view.type.addArrayElements(element.type, 1);
    commit(std::move(prepared));
}

void Value::addArrayElement(Value&& element) {
    auto prepared = prepare(element.view);
    view.type.addArrayElements(std::move(element.view.type), 1);
    commit(std::move(prepared));
}

void Value::addMember(std::string_view name, Value&& member) {
    auto prepared = prepare(member.view);
    view.type.addObjectMember(name, std::move(member.view.type));
    commit(std::move(prepared));
}

void Value::addMember(std::string_view name, const Value& member) {
    addMember(name, member.getView());
}

void Value::addMember(std::string_view name, const ValueView& member) {
    auto prepared = prepare(member);
    view.type.addObjectMember(name, member.type);
    commit(std::move(prepared));
}

//==============================================================================================
// Builders

Value createInt64(std::int64_t number) {
    return Value(Type(Type::MainType::int64), &number, sizeof(number));
}

Value createFloat64(double number) {
    return Value(Type(Type::MainType::float64), &number, sizeof(number));
}

Value createBool(bool flag) {
    const std::uint32_t word = flag ? 1 : 0;
    return Value(Type(Type::MainType::bool_), &word, sizeof(word));
}

Value createString(std::string_view text) {
    const std::uint32_t noText = 0;
    Value result(Type(Type::MainType::string), &noText, sizeof(noText));
    writeScalar(result.packedData.data(), result.dictionary.getHandleForString(text));
    return result;
}

Value createEmptyArray() {
    return Value(Type::createEmptyArray(), nullptr, 0);
}

Value createObject(std::string_view className) {
    return Value(Type::createObject(className), nullptr, 0);
}

}  // namespace vela::value
