// libFuzzer target: the strict JSON reader, in memory. Whatever it accepts
// must be writable again with the engine's own number forms, and must read
// back as the very same document (every double to the bit).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "store/json_text.h"

namespace {

bool write_value(rapidjson::Writer<rapidjson::StringBuffer> &w, const rapidjson::Value &v) {
    switch (v.GetType()) {
        case rapidjson::kNullType: return w.Null();
        case rapidjson::kFalseType: return w.Bool(false);
        case rapidjson::kTrueType: return w.Bool(true);
        case rapidjson::kStringType: return w.String(v.GetString(), v.GetStringLength());
        case rapidjson::kNumberType: {
            if (v.IsDouble()) {
                char text[vue::kRealTextMax];
                const size_t n = vue::format_json_real(v.GetDouble(), text);
                return n > 0 && w.RawValue(text, n, rapidjson::kNumberType);
            }
            return v.IsUint64() ? w.Uint64(v.GetUint64()) : w.Int64(v.GetInt64());
        }
        case rapidjson::kArrayType:
            if (!w.StartArray()) return false;
            for (const auto &e : v.GetArray()) {
                if (!write_value(w, e)) return false;
            }
            return w.EndArray();
        case rapidjson::kObjectType:
            if (!w.StartObject()) return false;
            for (auto it = v.MemberBegin(); it != v.MemberEnd(); ++it) {
                if (!w.Key(it->name.GetString(), it->name.GetStringLength()) || !write_value(w, it->value)) return false;
            }
            return w.EndObject();
    }
    return false;
}

bool same(const rapidjson::Value &a, const rapidjson::Value &b) {
    if (a.GetType() != b.GetType()) return false;
    switch (a.GetType()) {
        case rapidjson::kStringType:
            return a.GetStringLength() == b.GetStringLength() &&
                   std::memcmp(a.GetString(), b.GetString(), a.GetStringLength()) == 0;
        case rapidjson::kNumberType: {
            if (a.IsDouble() != b.IsDouble()) return false;
            if (a.IsDouble()) {
                const double x = a.GetDouble(), y = b.GetDouble();
                return std::memcmp(&x, &y, sizeof x) == 0;
            }
            if (a.IsUint64() != b.IsUint64()) return false;
            return a.IsUint64() ? a.GetUint64() == b.GetUint64() : a.GetInt64() == b.GetInt64();
        }
        case rapidjson::kArrayType: {
            if (a.Size() != b.Size()) return false;
            for (rapidjson::SizeType i = 0; i < a.Size(); ++i) {
                if (!same(a[i], b[i])) return false;
            }
            return true;
        }
        case rapidjson::kObjectType: {
            if (a.MemberCount() != b.MemberCount()) return false;
            for (auto i = a.MemberBegin(), j = b.MemberBegin(); i != a.MemberEnd(); ++i, ++j) {
                if (!same(i->name, j->name) || !same(i->value, j->value)) return false;
            }
            return true;
        }
        default: return true;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    rapidjson::Document doc;
    if (!vue::json_parse_strict(text, doc)) return 0;
    // find_member must cope with any root.
    vue::find_member(doc, "id");
    rapidjson::StringBuffer out;
    rapidjson::Writer<rapidjson::StringBuffer> writer(out);
    if (!write_value(writer, doc)) std::abort();  // accepted, so finite and valid UTF-8
    rapidjson::Document again;
    if (!vue::json_parse_strict(std::string_view(out.GetString(), out.GetSize()), again)) std::abort();
    if (!same(doc, again)) std::abort();
    return 0;
}
