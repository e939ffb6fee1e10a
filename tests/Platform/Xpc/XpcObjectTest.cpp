#include <gtest/gtest.h>

#include "Platform/Xpc/XpcObject.h"

using namespace platform;

TEST(XpcObjectTest, GettersNeverConvertBetweenTypes) {
    XpcObject d = xpcDictionary({{"s", XpcObject::makeString("300")},
                                 {"i", XpcObject::makeInt64(300)},
                                 {"u", XpcObject::makeUint64(300)},
                                 {"b", XpcObject::makeBool(true)}});
    EXPECT_EQ(*d.getString("s"), "300");
    EXPECT_EQ(d.getString("i"), nullptr);
    EXPECT_EQ(d.getInt64("i"), 300);
    EXPECT_EQ(d.getInt64("s"), 0);
    EXPECT_EQ(d.getInt64("u"), 0);
    EXPECT_EQ(d.getUint64("u"), 300u);
    EXPECT_EQ(d.getUint64("i"), 0u);
    EXPECT_FALSE(d.getBool("i"));
    EXPECT_TRUE(d.getBool("b"));
    EXPECT_EQ(d.get("missing"), nullptr);
    EXPECT_EQ(XpcObject::makeInt64(1).getInt64("i"), 0);

    EXPECT_NE(XpcObject::makeInt64(5), XpcObject::makeUint64(5));
    EXPECT_NE(XpcObject::makeInt64(1), XpcObject::makeBool(true));
    EXPECT_NE(XpcObject::makeString("5"), XpcObject::makeInt64(5));
}

TEST(XpcObjectTest, CopiesAreIndependent) {
    XpcObject a = xpcDictionary({{"list", XpcObject::makeArray({XpcObject::makeString("x")})}});
    XpcObject b = a;
    b.set("extra", XpcObject::makeNull());
    XpcObject list = *b.get("list");
    list.append(XpcObject::makeString("y"));
    b.set("list", list);
    EXPECT_EQ(a.size(), 1u);
    EXPECT_EQ(a.get("list")->size(), 1u);
    EXPECT_EQ(b.size(), 2u);
    EXPECT_EQ(b.get("list")->size(), 2u);
}

TEST(XpcObjectTest, ConvertsToAndFromPropertyListValues) {
    XpcUuid uuid = XpcUuid::generate();
    XpcObject x = xpcDictionary({{"i", XpcObject::makeInt64(-3)},
                                 {"u", XpcObject::makeUint64(3)},
                                 {"uuid", XpcObject::makeUuid(uuid)},
                                 {"a", XpcObject::makeArray({XpcObject::makeData({1, 2})})}});
    Value v = x.toValue();
    EXPECT_EQ(v.get("i")->type(), Value::Type::Integer);
    EXPECT_EQ(v.get("u")->type(), Value::Type::Unsigned);
    EXPECT_EQ(v.get("uuid")->stringValue(), uuid.toString());

    XpcObject back = XpcObject::fromValue(v);
    EXPECT_EQ(back.getInt64("i"), -3);
    EXPECT_EQ(back.getUint64("u"), 3u);
    EXPECT_EQ(*back.getString("uuid"), uuid.toString());
    EXPECT_EQ(*back.get("a")->asArray()->at(0).asData(), (Data{1, 2}));
    EXPECT_EQ(*XpcObject::fromValue(Value(Date{12.5})).asDouble(), 12.5);
}

TEST(XpcObjectTest, UuidTextRoundTripsAndRejectsMalformedText) {
    XpcUuid u = XpcUuid::generate();
    EXPECT_EQ(u.bytes[6] >> 4, 4);
    EXPECT_EQ(XpcUuid::fromString(u.toString()), u);
    auto lower = XpcUuid::fromString("0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
    ASSERT_TRUE(lower);
    EXPECT_EQ(lower->toString(), "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");
    for (const char* bad :
         {"", "0F1E2D3C4B5A-6978-8796-A5B4C3D2E1F0-", "0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1FG",
          "0F1E2D3C-4B5A-6978-8796_A5B4C3D2E1F0"})
        EXPECT_FALSE(XpcUuid::fromString(bad)) << bad;
}
