// The JSON text layer must produce, byte for byte, the forms the state files
// and reports have always had, and read state files strictly.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "store/json_text.h"

namespace vue {
namespace {

std::string real_text(double value) {
    char out[kRealTextMax];
    size_t n = format_json_real(value, out);
    return std::string(out, n);
}

// Runs `body` against a writer over a deliberately tiny fixed buffer, so
// every text here also crosses into the sink's heap buffer. nullopt when the
// write failed.
template <typename Writer, typename Body>
std::optional<std::string> write_json(Body body) {
    char fixed[8];
    growing_sink sink(fixed, sizeof fixed);
    Writer w(sink);
    body(w);
    if (!w.ok()) return std::nullopt;
    return std::string(sink.c_str(), sink.size());
}

std::optional<std::string> compact_string(std::string_view s) {
    return write_json<compact_json_writer>([&](auto &w) { w.string(s); });
}

TEST(JsonRealText, ShortestRoundTripWithFixedLayout) {
    const struct {
        double value;
        const char *text;
    } cases[] = {
        {0.0, "0.0"},
        {100.0, "100.0"},
        {250.0, "250.0"},
        {12.5, "12.5"},
        {static_cast<double>(12.3f), "12.300000190734863"},
        {100.0 / 3, "33.333333333333336"},
        {200.0 / 3, "66.66666666666667"},
        {99.9, "99.9"},
        {0.1, "0.1"},
        {-1.5, "-1.5"},
        {1e15, "1000000000000000.0"},
        {9007199254740992.0, "9007199254740992.0"},
        {1e20, "100000000000000000000.0"},
        {123456789012345680000.0, "123456789012345680000.0"},
        {1e21, "1e21"},
        {1.5e21, "1.5e21"},
        {1e22, "1e22"},
        {1e300, "1e300"},
        {1e-5, "0.00001"},
        {1e-6, "0.000001"},
        {1.5e-6, "0.0000015"},
        {1e-7, "1e-7"},
        {1.5e-7, "1.5e-7"},
        {1.2345e-7, "1.2345e-7"},
        {5e-324, "5e-324"},
        {2.2250738585072014e-308, "2.2250738585072014e-308"},
        {1.7976931348623157e308, "1.7976931348623157e308"},
        {-0.0, "-0.0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(real_text(c.value), c.text);
        // The same form must reach the text through both writers.
        EXPECT_EQ(write_json<compact_json_writer>([&](auto &w) { w.real(c.value); }), c.text);
        EXPECT_EQ(write_json<pretty_json_writer>([&](auto &w) { w.real(c.value); }), c.text);
    }
}

TEST(JsonRealText, NonFiniteFailsTheWholeWrite) {
    for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(),
                       -std::numeric_limits<double>::infinity()}) {
        SCOPED_TRACE(bad);
        char out[kRealTextMax];
        EXPECT_EQ(format_json_real(bad, out), 0u);
        auto text = write_json<compact_json_writer>([&](auto &w) {
            w.begin_array();
            w.integer(1);
            w.real(bad);
            w.integer(2);
            w.end_array();
        });
        EXPECT_FALSE(text.has_value());
    }
}

TEST(JsonIntegerText, SixtyFourBitExtremes) {
    EXPECT_EQ(write_json<compact_json_writer>([](auto &w) { w.integer(std::numeric_limits<int64_t>::min()); }),
              "-9223372036854775808");
    EXPECT_EQ(write_json<compact_json_writer>([](auto &w) { w.integer(std::numeric_limits<int64_t>::max()); }),
              "9223372036854775807");
    EXPECT_EQ(write_json<compact_json_writer>([](auto &w) { w.integer(-5); }), "-5");
}

TEST(JsonStringText, Escapes) {
    const struct {
        std::string raw;
        const char *json;
    } cases[] = {
        {"a\"b", R"("a\"b")"},
        {"a\\b", R"("a\\b")"},
        {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
        {std::string("\0", 1), R"("\u0000")"},
        {"\x01", R"("\u0001")"},
        {"\x0B", R"("\u000B")"},
        {"\x1F", R"("\u001F")"},
        {"http://h/p", R"("http://h/p")"},
        {"\x7F", "\"\x7F\""},
        {"caf\xC3\xA9 \xE2\x80\xA8 \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xE2\x80\xA8 \xF0\x9F\x98\x80\""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(compact_string(c.raw), c.json);
        // Keys go through the same escaping.
        auto as_key = write_json<compact_json_writer>([&](auto &w) {
            w.begin_object();
            w.key(c.raw);
            w.integer(1);
            w.end_object();
        });
        EXPECT_EQ(as_key, "{" + std::string(c.json) + ":1}");
    }
}

const char *const kInvalidUtf8[] = {
    "\xE9",              // lone Latin-1 byte
    "\xE2\x82",          // truncated sequence
    "\x80",              // stray continuation
    "\xC0\xAF",          // overlong '/'
    "\xE0\x80\xAF",      // overlong, three bytes
    "\xED\xA0\x80",      // encoded surrogate
    "\xF4\x90\x80\x80",  // above U+10FFFF
    "\xFF",
    "ok\xC3",            // truncated at the very end
};

TEST(JsonStringText, InvalidUtf8FailsTheWholeWrite) {
    for (const char *bad : kInvalidUtf8) {
        SCOPED_TRACE(::testing::PrintToString(std::string(bad)));
        EXPECT_FALSE(utf8_is_valid(bad));
        EXPECT_FALSE(compact_string(bad).has_value());
        auto pretty = write_json<pretty_json_writer>([&](auto &w) {
            w.begin_object();
            w.key("k");
            w.string(bad);
            w.end_object();
        });
        EXPECT_FALSE(pretty.has_value());
        auto as_key = write_json<compact_json_writer>([&](auto &w) {
            w.begin_object();
            w.key(bad);
            w.integer(1);
            w.end_object();
        });
        EXPECT_FALSE(as_key.has_value());
    }
}

TEST(Utf8Validity, AcceptsEveryWellFormedLength) {
    for (const char *good : {"", "plain", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF",
                             "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"}) {
        SCOPED_TRACE(::testing::PrintToString(std::string(good)));
        EXPECT_TRUE(utf8_is_valid(good));
    }
}

TEST(Utf8CutLength, NeverSplitsACharacter) {
    const struct {
        std::string text;
        size_t bound;
        size_t expected;
    } cases[] = {
        {"abcdef", 4, 4},                        // ASCII: exactly at the bound
        {"abc", 4, 3},                           // shorter: whole
        {"abcd", 4, 4},                          // equal: whole
        {"abc\xC3\xA9", 4, 3},                   // 2-byte char across the bound
        {"abc\xC3\xA9", 5, 5},                   // ends exactly on it
        {"ab\xE2\x82\xAC", 3, 2},                // 3-byte, bound after lead
        {"ab\xE2\x82\xAC", 4, 2},                // 3-byte, bound inside
        {"a\xF0\x9F\x98\x80z", 4, 1},            // 4-byte, bound inside
        {"a\xF0\x9F\x98\x80z", 5, 5},
        {"\xC3\xA9\xC3\xA9\xC3\xA9", 5, 4},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.text) + " bound " + std::to_string(c.bound));
        size_t n = utf8_cut_length(c.text, c.bound);
        EXPECT_EQ(n, c.expected);
        EXPECT_TRUE(utf8_is_valid(std::string_view(c.text).substr(0, n)));
    }
}

TEST(JsonLayout, CompactHasNoWhitespace) {
    auto text = write_json<compact_json_writer>([](auto &w) {
        w.begin_array();
        w.begin_object();
        w.key("a");
        w.integer(1);
        w.key("b");
        w.begin_array();
        w.end_array();
        w.key("c");
        w.begin_object();
        w.end_object();
        w.end_object();
        w.end_array();
    });
    EXPECT_EQ(text, R"([{"a":1,"b":[],"c":{}}])");
}

TEST(JsonLayout, PrettyFourSpacesAndNoFinalNewline) {
    auto text = write_json<pretty_json_writer>([](auto &w) {
        w.begin_array();
        w.begin_object();
        w.key("id");
        w.string("x");
        w.key("d");
        w.begin_array();
        w.integer(1);
        w.real(2.5);
        w.end_array();
        w.key("e");
        w.begin_object();
        w.end_object();
        w.end_object();
        w.end_array();
    });
    EXPECT_EQ(text,
              "[\n"
              "    {\n"
              "        \"id\": \"x\",\n"
              "        \"d\": [\n"
              "            1,\n"
              "            2.5\n"
              "        ],\n"
              "        \"e\": {}\n"
              "    }\n"
              "]");
}

TEST(JsonLayout, PrettyEmptyContainersAtTheRoot) {
    EXPECT_EQ(write_json<pretty_json_writer>([](auto &w) {
                  w.begin_array();
                  w.end_array();
              }),
              "[]");
    EXPECT_EQ(write_json<pretty_json_writer>([](auto &w) {
                  w.begin_object();
                  w.end_object();
              }),
              "{}");
}

TEST(JsonLayout, MemberOrderIsInsertionOrder) {
    auto text = write_json<compact_json_writer>([](auto &w) {
        w.begin_object();
        w.key("z");
        w.integer(1);
        w.key("a");
        w.integer(2);
        w.key("z");
        w.integer(3);
        w.end_object();
    });
    EXPECT_EQ(text, R"({"z":1,"a":2,"z":3})");
}

// --- strict reading -----------------------------------------------------------

enum class read_kind { error, integer, real, other };

TEST(JsonStrictRead, Table) {
    const struct {
        std::string input;
        read_kind kind;
        const char *value;  // integers and reals: the value read, as text
    } cases[] = {
        {"\xEF\xBB\xBF{}", read_kind::error, nullptr},
        {"\xEF\xBB\xBF[1]", read_kind::error, nullptr},
        {"[1] /* c */", read_kind::error, nullptr},
        {"[1] // c", read_kind::error, nullptr},
        {"[1,]", read_kind::error, nullptr},
        {"{\"a\":1,}", read_kind::error, nullptr},
        {"NaN", read_kind::error, nullptr},
        {"[Infinity]", read_kind::error, nullptr},
        {"[-Infinity]", read_kind::error, nullptr},
        {"['a']", read_kind::error, nullptr},
        {"01", read_kind::error, nullptr},
        {"[01]", read_kind::error, nullptr},
        {"\"\xE9\"", read_kind::error, nullptr},
        {"\"\xED\xA0\x80\"", read_kind::error, nullptr},
        {R"("\uD800")", read_kind::error, nullptr},
        {R"("\uDC00")", read_kind::error, nullptr},
        {R"({"\uDC00":1})", read_kind::error, nullptr},
        {"\"a\x01z\"", read_kind::error, nullptr},
        {"\"a\nz\"", read_kind::error, nullptr},
        {"", read_kind::error, nullptr},
        {" \n\t ", read_kind::error, nullptr},
        {"[1] x", read_kind::error, nullptr},
        {"[1][2]", read_kind::error, nullptr},
        {std::string("[1]\0", 4), read_kind::error, nullptr},
        {std::string("[1]\0 ", 5), read_kind::error, nullptr},
        {"1e400", read_kind::error, nullptr},
        {"[1] \n\t\r ", read_kind::other, nullptr},
        {R"("\uD83D\uDE00")", read_kind::other, nullptr},
        {"0", read_kind::integer, "0"},
        {"4294967356", read_kind::integer, "4294967356"},
        {"18446744073709551615", read_kind::integer, "18446744073709551615"},
        {"-5", read_kind::integer, "-5"},
        {"-0", read_kind::integer, "0"},
        {"-9223372036854775808", read_kind::integer, "-9223372036854775808"},
        {"1.0", read_kind::real, "1.0"},
        {"1E2", read_kind::real, "100.0"},
        {"-0.0", read_kind::real, "-0.0"},
        {"18446744073709551616", read_kind::real, "18446744073709552000.0"},
        {"1e-400", read_kind::real, "0.0"},
        {"0.30000000000000004", read_kind::real, "0.30000000000000004"},
        {"2.2250738585072011e-308", read_kind::real, "2.225073858507201e-308"},
        {"9007199254740993", read_kind::integer, "9007199254740993"},
        {"12.300000190734863", read_kind::real, "12.300000190734863"},
        // The ends of the double range: rounded correctly, never a crash.
        {"1.757938347017468e-335", read_kind::real, "0.0"},
        {"[1.757938347017468e-335]", read_kind::other, nullptr},
        {"3e-325", read_kind::real, "0.0"},
        {"2e-324", read_kind::real, "0.0"},
        {"3e-324", read_kind::real, "5e-324"},
        {"-3e-324", read_kind::real, "-5e-324"},
        {"4.9406564584124654e-324", read_kind::real, "5e-324"},
        {"2.4703282292062328e-324", read_kind::real, "5e-324"},
        {"2.4703282292062327e-324", read_kind::real, "0.0"},
        {"-1e-400", read_kind::real, "-0.0"},
        {"0.0000001e-330", read_kind::real, "0.0"},
        {"1.7976931348623157e308", read_kind::real, "1.7976931348623157e308"},
        {"1.7976931348623158e308", read_kind::real, "1.7976931348623157e308"},
        {"1.7976931348623159e308", read_kind::error, nullptr},
        {"9.9e308", read_kind::error, nullptr},
        {"-9.9e308", read_kind::error, nullptr},
        {"10e308", read_kind::error, nullptr},
        {"100000000000000000000000e300", read_kind::error, nullptr},
        {"0.000001e308", read_kind::real, "1e302"},
        {"1e-99999999999999999999", read_kind::real, "0.0"},
        {"1e99999999999999999999", read_kind::error, nullptr},
        {"123456789012345678901234567890", read_kind::real, "1.2345678901234568e29"},
        {"-9223372036854775809", read_kind::real, "-9223372036854776000.0"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.input));
        rapidjson::Document doc;
        bool ok = json_parse_strict(c.input, doc);
        if (c.kind == read_kind::error) {
            EXPECT_FALSE(ok);
            continue;
        }
        ASSERT_TRUE(ok);
        if (c.kind == read_kind::integer) {
            ASSERT_TRUE(doc.IsInt64() || doc.IsUint64());
            EXPECT_FALSE(doc.IsDouble());
            EXPECT_EQ(doc.IsUint64() ? std::to_string(doc.GetUint64()) : std::to_string(doc.GetInt64()), c.value);
        } else if (c.kind == read_kind::real) {
            ASSERT_TRUE(doc.IsDouble());
            EXPECT_EQ(real_text(doc.GetDouble()), c.value);
        }
    }
}

TEST(JsonStrictRead, DuplicateKeysAreKeptAndTheFirstIsFound) {
    rapidjson::Document doc;
    ASSERT_TRUE(json_parse_strict(R"({"name":"first","x":1,"name":"second"})", doc));
    EXPECT_EQ(doc.MemberCount(), 3u);
    const rapidjson::Value *name = find_member(doc, "name");
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name->GetString(), "first");
    EXPECT_EQ(find_member(doc, "Name"), nullptr);
    EXPECT_EQ(find_member(doc, "nam"), nullptr);
    // Keys holding a NUL are compared whole, not up to the NUL.
    ASSERT_TRUE(json_parse_strict(R"({"a\u0000b":1,"a":2})", doc));
    ASSERT_NE(find_member(doc, "a"), nullptr);
    EXPECT_EQ(find_member(doc, "a")->GetInt(), 2);
    // Not an object: nothing to find.
    ASSERT_TRUE(json_parse_strict("[1]", doc));
    EXPECT_EQ(find_member(doc, "a"), nullptr);
}

TEST(JsonStrictRead, DeepNestingDoesNotCrash) {
    const size_t depth = 100000;
    std::string open(depth, '[');
    rapidjson::Document doc;
    EXPECT_FALSE(json_parse_strict(open, doc));
    std::string balanced = open + std::string(depth, ']');
    EXPECT_TRUE(json_parse_strict(balanced, doc));
    EXPECT_TRUE(doc.IsArray());
    std::string objects;
    for (size_t i = 0; i < depth; ++i) objects += "{\"a\":";
    EXPECT_FALSE(json_parse_strict(objects, doc));
}

// --- the sink behind every report and file -----------------------------------

TEST(GrowingSink, OutgrowsTheFixedBufferWithoutCuttingAndReturnsToIt) {
    char fixed[16];
    growing_sink sink(fixed, sizeof fixed);
    std::string big(100000, 'x');
    sink.append(big);
    EXPECT_EQ(sink.size(), big.size());
    EXPECT_EQ(std::string(sink.c_str()), big);
    EXPECT_NE(sink.c_str(), fixed);

    // A short text goes back into the caller's buffer.
    sink.reset();
    sink.append("[]");
    EXPECT_EQ(sink.c_str(), fixed);
    EXPECT_STREQ(fixed, "[]");

    // And the kept heap buffer serves the next long text again.
    sink.reset();
    sink.append(big + "y");
    EXPECT_EQ(std::string(sink.c_str()), big + "y");

    // A text exactly one short of the fixed capacity still fits with its
    // terminator.
    sink.reset();
    sink.append(std::string(15, 'z'));
    EXPECT_EQ(sink.c_str(), fixed);
    EXPECT_EQ(std::string(fixed), std::string(15, 'z'));
}

}  // namespace
}  // namespace vue
