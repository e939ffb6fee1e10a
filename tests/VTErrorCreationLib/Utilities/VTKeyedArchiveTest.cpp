#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "VTErrorCreationLib/Utilities/VTBinaryPlist.h"
#include "VTErrorCreationLib/Utilities/VTCoding.h"
#include "VTErrorCreationLib/Utilities/VTErrorUtilities.h"
#include "support/TempDir.h"

namespace {

using platform::Value;

// A nested record class.
class Leaf : public VTFieldCodable<Leaf> {
  public:
    static constexpr std::string_view kArchiveClassName = "Leaf";
    static std::span<const VTField<Leaf>> codingFields() {
        static const VTField<Leaf> fields[] = {VTMakeField<&Leaf::name>("name"),
                                               VTMakeField<&Leaf::rank>("rank")};
        return fields;
    }
    std::optional<std::string> name;
    std::int32_t rank = 0;
    friend bool operator==(const Leaf& a, const Leaf& b) {
        return a.name == b.name && a.rank == b.rank;
    }
};

// One field of every kind the field tables support, and one uncodable field.
class Record : public VTFieldCodable<Record> {
  public:
    static constexpr std::string_view kArchiveClassName = "Record";
    static std::span<const VTField<Record>> codingFields() {
        static const VTField<Record> fields[] = {
            VTMakeField<&Record::flag>("flag"),
            VTMakeField<&Record::small>("small"),
            VTMakeField<&Record::count>("count"),
            VTMakeField<&Record::signedBig>("signedBig"),
            VTMakeField<&Record::unsignedBig>("unsignedBig"),
            VTMakeField<&Record::ratio>("ratio"),
            VTMakeField<&Record::text>("text"),
            VTMakeField<&Record::when>("when"),
            VTMakeField<&Record::list>("list"),
            VTMakeField<&Record::table>("table"),
            VTMakeField<&Record::anything>("anything"),
            VTMakeField<&Record::address>("address"),
            VTMakeField<&Record::leaf>("leaf"),
            VTMakeField<&Record::leaves>("leaves"),
            VTMakeField<&Record::scratch>("scratch", false),
        };
        return fields;
    }
    bool flag = false;
    std::uint16_t small = 0;
    std::int32_t count = 0;
    std::int64_t signedBig = 0;
    std::uint64_t unsignedBig = 0;
    double ratio = 0;
    std::optional<std::string> text;
    std::optional<platform::Date> when;
    std::optional<platform::Array> list;
    std::optional<platform::Dictionary> table;
    std::optional<Value> anything;
    std::optional<std::uint64_t> address;
    std::optional<Leaf> leaf;
    std::vector<Leaf> leaves;
    std::optional<std::string> scratch;
    friend bool operator==(const Record& a, const Record& b) {
        return VTCodingUtilities::dictionaryRepresentation(a) ==
                   VTCodingUtilities::dictionaryRepresentation(b) &&
               a.scratch == b.scratch && a.leaf == b.leaf && a.leaves == b.leaves;
    }
};

Record fullRecord() {
    Record r;
    r.flag = true;
    r.small = 65535;
    r.count = -42;
    r.signedBig = INT64_MIN;
    r.unsignedBig = 0xF000000000000001ull;
    r.ratio = 0.25;
    r.text = "Grüße \xF0\x9F\x98\x80 ascii";
    r.when = platform::Date{1700000000.5};
    r.list = platform::Array{Value("en"), Value(3), Value(platform::Array{Value(true)})};
    r.table = platform::Dictionary{
        {"k", Value("v")}, {"n", Value(nullptr)}, {"d", Value(platform::Data{1, 2})}};
    r.anything = Value(platform::Date{0});
    r.address = 0x7fff00001234ull;
    r.leaf = Leaf{};
    r.leaf->name = "one";
    r.leaf->rank = 1;
    Leaf two;
    two.name = "two";
    two.rank = 2;
    r.leaves = {two, Leaf{}};
    r.scratch = "not stored";
    return r;
}

TEST(VTKeyedArchive, RoundTripsEveryFieldKindAndSkipsUncodableFields) {
    Record r = fullRecord();
    platform::Data data = VTKeyedArchiver::archivedDataWithRootObject(r);
    platform::Error error;
    auto back = VTCodingUtilities::objectWithData<Record>(data, &error);
    ASSERT_TRUE(back) << error.description();
    EXPECT_FALSE(back->scratch);
    back->scratch = r.scratch;
    EXPECT_EQ(*back, r);

    Record empty;
    auto emptyBack = VTCodingUtilities::objectWithData<Record>(
        VTKeyedArchiver::archivedDataWithRootObject(empty), &error);
    ASSERT_TRUE(emptyBack);
    EXPECT_EQ(*emptyBack, empty);
}

TEST(VTKeyedArchive, ValueDictionaryAndDescription) {
    Record r;
    r.text = "t";
    r.scratch = "s";
    platform::Dictionary d = VTCodingUtilities::dictionaryRepresentation(r);
    // Scalars are always present, absent objects and uncodable fields are not.
    EXPECT_EQ(d.at("count"), Value(0));
    EXPECT_EQ(d.at("flag"), Value(false));
    EXPECT_EQ(d.at("leaves"), Value(platform::Array{}));
    EXPECT_EQ(d.at("text"), Value("t"));
    EXPECT_EQ(d.count("when"), 0u);
    EXPECT_EQ(d.count("scratch"), 0u);
    EXPECT_NE(VTCodingUtilities::description(r).find("text"), std::string::npos);
    EXPECT_EQ(VTCodingUtilities::classForPropertyNamed<Record>("when"), "NSDate");
    EXPECT_EQ(VTCodingUtilities::classForPropertyNamed<Record>("leaf"), "Leaf");
    EXPECT_EQ(VTCodingUtilities::codableProperties<Record>().size(), 14u);

    Record set;
    platform::Error error;
    EXPECT_TRUE(VTCodingUtilities::setPropertyValues(set, d, &error)) << error.description();
    EXPECT_EQ(set.text, "t");
    EXPECT_FALSE(VTCodingUtilities::setPropertyValues(set, {{"count", Value("x")}}, &error));
    EXPECT_FALSE(VTCodingUtilities::setPropertyValues(set, {{"nope", Value(1)}}, &error));
}

// An archive of `Record` whose field `key` holds `value` instead.
class Impostor : public VTCodable {
  public:
    Impostor(std::string key, Value value) : key_(std::move(key)), value_(std::move(value)) {}
    std::string_view archiveClassName() const override { return "Record"; }
    void encodeWithCoder(VTKeyedArchiver& coder) const override { coder.encodeValue(key_, value_); }
    bool initWithCoder(VTKeyedUnarchiver&, platform::Error*) override { return false; }

  private:
    std::string key_;
    Value value_;
};

TEST(VTKeyedArchive, RefusesValuesOfTheWrongClass) {
    struct Case {
        const char* key;
        Value value;
        const char* message;
    } cases[] = {
        {"count", Value("12"),
         "Expected 'count' to be of type NSNumber, but is actually a NSString"},
        {"text", Value(12), "Expected 'text' to be of type NSString, but is actually a NSNumber"},
        {"when", Value("yesterday"),
         "Expected 'when' to be of type NSDate, but is actually a NSString"},
        {"list", Value(platform::Dictionary{}),
         "Expected 'list' to be of type NSArray, but is actually a NSDictionary"},
        {"leaf", Value(platform::Array{}),
         "Expected 'leaf' to be of type Leaf, but is actually a NSArray"},
        {"leaves", Value(platform::Array{Value(1)}),
         "Expected 'leaves' to be of type Leaf, but is actually a NSNumber"},
    };
    for (const auto& c : cases) {
        platform::Data data = VTKeyedArchiver::archivedDataWithRootObject(Impostor(c.key, c.value));
        platform::Error error;
        EXPECT_FALSE(VTCodingUtilities::objectWithData<Record>(data, &error)) << c.key;
        EXPECT_EQ(error.domain(), VTErrorDomain) << c.key;
        EXPECT_EQ(error.localizedDescription(), c.message);
    }
    // The root itself must be of the class asked for.
    platform::Error error;
    EXPECT_FALSE(VTCodingUtilities::objectWithData<Leaf>(
        VTKeyedArchiver::archivedDataWithRootObject(Record{}), &error));
    EXPECT_EQ(error.localizedDescription(),
              "Expected 'root' to be of type Leaf, but is actually a Record");
}

platform::Data archiveBytes(const VTPlistNode& objects, VTPlistNode top = VTPlistNode::uid(1)) {
    VTPlistNode root = VTPlistNode::dict();
    root.set("$archiver", VTPlistNode::string("NSKeyedArchiver"));
    root.set("$version", VTPlistNode::signedInteger(100000));
    VTPlistNode topDict = VTPlistNode::dict();
    topDict.set("root", std::move(top));
    root.set("$top", std::move(topDict));
    root.set("$objects", objects);
    return VTWriteBinaryPlist(root);
}

TEST(VTKeyedArchive, RejectsMalformedArchives) {
    VTPlistNode classRecord = VTPlistNode::dict();
    classRecord.set("$classname", VTPlistNode::string("Record"));
    auto object = [](VTPlistNode::Dict fields) { return VTPlistNode::dict(std::move(fields)); };

    std::vector<std::pair<const char*, platform::Data>> cases;
    cases.emplace_back("not a property list",
                       platform::Data{'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'});
    cases.emplace_back("no archive keys", VTWriteBinaryPlist(VTPlistNode::array()));
    cases.emplace_back(
        "root out of range",
        archiveBytes(VTPlistNode::array({VTPlistNode::string("$null")}), VTPlistNode::uid(5)));
    cases.emplace_back(
        "root is no reference",
        archiveBytes(VTPlistNode::array({VTPlistNode::string("$null")}), VTPlistNode::string("x")));
    cases.emplace_back(
        "object without class",
        archiveBytes(VTPlistNode::array({VTPlistNode::string("$null"), object({})})));
    cases.emplace_back("field reference out of range",
                       archiveBytes(VTPlistNode::array({VTPlistNode::string("$null"),
                                                        object({{"count", VTPlistNode::uid(99)},
                                                                {"$class", VTPlistNode::uid(2)}}),
                                                        classRecord})));
    // An array that contains itself.
    VTPlistNode arrayClass = VTPlistNode::dict();
    arrayClass.set("$classname", VTPlistNode::string("NSArray"));
    cases.emplace_back(
        "cycle", archiveBytes(VTPlistNode::array(
                     {VTPlistNode::string("$null"),
                      object({{"list", VTPlistNode::uid(2)}, {"$class", VTPlistNode::uid(3)}}),
                      object({{"NS.objects", VTPlistNode::array({VTPlistNode::uid(2)})},
                              {"$class", VTPlistNode::uid(4)}}),
                      classRecord, arrayClass})));
    for (const auto& [name, bytes] : cases) {
        platform::Error error;
        EXPECT_FALSE(VTCodingUtilities::objectWithData<Record>(bytes, &error)) << name;
        EXPECT_FALSE(error.empty()) << name;
    }
}

TEST(VTKeyedArchive, WritesAndReadsFiles) {
    testsupport::TempDir dir;
    Record r = fullRecord();
    r.scratch.reset();
    platform::Error error;
    ASSERT_TRUE(VTCodingUtilities::writeToFile(r, dir.file("r.vterr"), true, &error))
        << error.description();
    auto back = VTCodingUtilities::objectWithContentsOfFile<Record>(dir.file("r.vterr"), &error);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, r);
    EXPECT_FALSE(VTCodingUtilities::objectWithContentsOfFile<Record>(dir.file("missing"), &error));
    EXPECT_EQ(error.domain(), platform::kPOSIXErrorDomain);
    EXPECT_FALSE(VTCodingUtilities::writeToFile(r, dir.file("no/such/folder/r"), false, &error));
    // A link at the name is replaced (atomically) or refused, never written
    // through.
    const std::string elsewhere = dir.write("elsewhere", "kept");
    for (bool atomically : {false, true}) {
        SCOPED_TRACE(atomically);
        std::filesystem::remove(dir.file("link"));
        std::filesystem::create_symlink(elsewhere, dir.file("link"));
        VTCodingUtilities::writeToFile(r, dir.file("link"), atomically, nullptr);
        std::ifstream in(elsewhere);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "kept");
    }
}

#ifdef VT_PYTHON3
// Another reader must see a real binary property list with UIDs, and
// unsigned numbers of 2^63 and above as the positive numbers they are.
TEST(VTKeyedArchive, IsABinaryPropertyListForOtherReaders) {
    testsupport::TempDir dir;
    Record r = fullRecord();
    std::string path = dir.file("r.archive");
    ASSERT_TRUE(VTCodingUtilities::writeToFile(r, path, false, nullptr));
    std::string script = dir.write("check.py", R"(import plistlib, sys
p = plistlib.load(open(sys.argv[1], 'rb'))
assert p['$archiver'] == 'NSKeyedArchiver', p
objs = p['$objects']
root = objs[p['$top']['root'].data]
cls = objs[root['$class'].data]
assert cls['$classname'] == 'Record' and cls['$classes'][-1] == 'NSObject', cls
assert isinstance(root['unsignedBig'], plistlib.UID)
assert objs[root['unsignedBig'].data] == 0xF000000000000001, objs[root['unsignedBig'].data]
assert objs[root['signedBig'].data] == -2**63
assert objs[root['text'].data] == 'Gr\u00fc\u00dfe \U0001F600 ascii'
assert 'scratch' not in root
print('ok')
)");
    std::string command = std::string(VT_PYTHON3) + " " + script + " " + path + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_TRUE(pipe);
    char buffer[4096];
    std::string output;
    while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
    int status = pclose(pipe);
    EXPECT_EQ(status, 0) << output;
    EXPECT_EQ(output, "ok\n");
}
#endif

TEST(VTBinaryPlist, ValuesRoundTripThroughTheWriterAndLibplist) {
    Value v(platform::Dictionary{
        {"s", Value(std::string(300, 'x'))},
        {"i", Value(-1)},
        {"u", Value(70000u)},
        {"r", Value(1.5)},
        {"b", Value(true)},
        {"d", Value(platform::Data(20, 7))},
        {"t", Value(platform::Date{1000000000.0})},
        {"a", Value(platform::Array(20, Value("e")))},
    });
    VTPlistNode node;
    ASSERT_TRUE(VTPlistNodeFromValue(v, &node));
    platform::Data bytes = VTWriteBinaryPlist(node);
    VTPlistNode back;
    ASSERT_TRUE(VTReadPlist(bytes.data(), bytes.size(), &back, nullptr));
    EXPECT_EQ(VTValueFromPlistNode(back), v);
    EXPECT_FALSE(VTPlistNodeFromValue(Value(platform::Array{Value(nullptr)}), &node));

    // A string holding a NUL byte and an unsigned 16-byte integer survive;
    // truncated lists are refused, never a crash.
    platform::Data odd = VTWriteBinaryPlist(
        VTPlistNode::array({VTPlistNode::string(std::string("a\0b", 3)),
                            VTPlistNode::unsignedInteger(0xF000000000000000ull)}));
    ASSERT_TRUE(VTReadPlist(odd.data(), odd.size(), &back, nullptr));
    EXPECT_EQ(VTValueFromPlistNode(back),
              Value(platform::Array{Value(std::string("a\0b", 3)), Value(0xF000000000000000ull)}));
    for (std::size_t cut = 1; cut < odd.size(); ++cut)
        EXPECT_FALSE(VTReadPlist(odd.data(), odd.size() - cut, &back, nullptr)) << cut;
}

}  // namespace
