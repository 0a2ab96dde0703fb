#include "core/JsonValue.h"

#include <gtest/gtest.h>

#include <cmath>

using selvina::JSONValue;

TEST(JsonValue, DecodesInTheFixedOrder)
{
    struct Case {
        const char* text;
        JSONValue::Kind kind;
    } cases[] = {
        {"1", JSONValue::Kind::Integer},      {"-9007199254740993", JSONValue::Kind::Integer},
        {"1.5", JSONValue::Kind::Number},     {"-0.25", JSONValue::Kind::Number},
        {"\"1\"", JSONValue::Kind::String},   {"true", JSONValue::Kind::Bool},
        {"[]", JSONValue::Kind::Array},       {"{}", JSONValue::Kind::Object},
        {"null", JSONValue::Kind::Null},      {"18446744073709551616", JSONValue::Kind::Number},
    };
    for (const Case& c : cases) {
        const auto v = JSONValue::parse(c.text);
        ASSERT_TRUE(v) << c.text;
        EXPECT_EQ(v->kind(), c.kind) << c.text;
    }
    EXPECT_EQ(*JSONValue::parse("-9007199254740993")->asInteger(), -9007199254740993LL);
    for (const char* bad : {"", "tru", "[1,", "{\"a\":}", "1 2", "1e400"})
        EXPECT_FALSE(JSONValue::parse(bad)) << bad;
}

TEST(JsonValue, EqualityIsStructuralAndKeepsIntegerApartFromFloat)
{
    EXPECT_NE(JSONValue(1), JSONValue(1.0));
    EXPECT_NE(JSONValue(true), JSONValue(1));
    EXPECT_EQ(*JSONValue::parse(R"({"b":[1,2.5,null],"a":"x"})"), *JSONValue::parse(R"({"a":"x","b":[1,2.5,null]})"));
    EXPECT_NE(*JSONValue::parse("[1,2]"), *JSONValue::parse("[2,1]"));
    EXPECT_NE(*JSONValue::parse(R"({"a":1})"), *JSONValue::parse(R"({"a":1,"b":2})"));
}

TEST(JsonValue, RoundTripsAndRefusesWhatJsonCannotHold)
{
    const QByteArray text = R"({"a":[1,2.5,"ż",true,null],"b":{"c":-3}})";
    EXPECT_EQ(*JSONValue::parse(JSONValue::parse(text)->toJson()), *JSONValue::parse(text));
    EXPECT_TRUE(JSONValue::parse(text)->isEncodable());
    EXPECT_FALSE(JSONValue(std::nan("")).isEncodable());
    EXPECT_FALSE(JSONValue(JSONValue::Array{JSONValue(QString(QChar(0xD800)))}).isEncodable());
}
