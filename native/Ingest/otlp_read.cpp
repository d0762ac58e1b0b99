// The reader of OTLP request bodies. The contract is in otlp_read.hpp.
//
// Every field is read by its wire type first (Cursor::next), whatever its number: a message's
// reader then takes the numbers it knows, after checking their wire type, and lets the others
// go (unknown fields, already skipped). Errors are thrown as a Fault that each level prefixes
// with where it was reading, until a span or a log record (or the request itself) says where
// completely.
#include "otlp_read.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace orvane::ingest::otlp {

namespace {

enum Wire : uint32_t { kVarint = 0, kFixed64 = 1, kLen = 2, kStartGroup = 3, kEndGroup = 4, kFixed32 = 5 };

// An error on its way up: `what` with the places added so far, `placed` once a level has said
// where completely (the outer levels then add nothing).
struct Fault {
    std::string what;
    bool placed = false;
};

[[noreturn, gnu::cold, gnu::noinline]] void fail(std::string what) { throw Fault{std::move(what)}; }

// Adds "label: " or "label N: " (index >= 0) before a fault's message, unless it is placed;
// `place` then marks it placed.
void add_place(Fault &f, const char *label, long long index, bool place) {
    if (f.placed)
        return;
    std::string head(label);
    if (index >= 0) {
        head.push_back(' ');
        head.append(std::to_string(index));
    }
    head.append(": ");
    f.what.insert(0, head);
    f.placed = place;
}

const char *wire_name(uint32_t wire) {
    switch (wire) {
    case kVarint: return "0 (varint)";
    case kFixed64: return "1 (64-bit)";
    case kLen: return "2 (length-delimited)";
    case kFixed32: return "5 (32-bit)";
    default: return "?";
    }
}

// One field as read from the wire.
struct Field {
    uint32_t number = 0;
    uint32_t wire = 0;
    uint64_t scalar = 0;     // varint, fixed64 and fixed32 values
    std::string_view bytes;  // length-delimited content (a view into the body)
};

// A bounds-checked walk over the fields of one message.
class Cursor {
public:
    explicit Cursor(std::string_view data)
        : p_(reinterpret_cast<const uint8_t *>(data.data())), end_(p_ + data.size()) {}

    bool more() const { return p_ != end_; }

    // Reads the next field (more() must be true). The common cases -- one-byte tags, one-byte
    // varints and lengths -- take the inline path.
    [[gnu::always_inline]] inline void next(Field &f) {
        uint64_t key;
        if (*p_ < 0x80) [[likely]]
            key = *p_++;
        else
            key = tag_slow();
        f.number = static_cast<uint32_t>(key >> 3);
        f.wire = static_cast<uint32_t>(key & 7);
        if (f.number == 0) [[unlikely]]
            fail("field number 0");
        if (f.wire == kLen) [[likely]] {
            uint64_t n = varint();
            if (n > static_cast<uint64_t>(end_ - p_)) [[unlikely]]
                fail("length past the end");
            f.bytes = std::string_view(reinterpret_cast<const char *>(p_), static_cast<size_t>(n));
            p_ += n;
            return;
        }
        switch (f.wire) {
        case kVarint: f.scalar = varint(); return;
        case kFixed64: f.scalar = fixed(8); return;
        case kFixed32: f.scalar = fixed(4); return;
        case kStartGroup:
        case kEndGroup: fail("group (wire type " + std::to_string(f.wire) + ") in field " + std::to_string(f.number));
        default: fail("invalid wire type " + std::to_string(f.wire) + " in field " + std::to_string(f.number));
        }
    }

private:
    [[gnu::always_inline]] inline uint64_t varint() {
        if (p_ != end_ && *p_ < 0x80) [[likely]]
            return *p_++;
        return varint_slow();
    }

    [[gnu::noinline]] uint64_t tag_slow() {
        const uint8_t *start = p_;
        uint64_t key = varint_slow();
        if (key > 0xFFFFFFFFu || p_ - start > 5)  // a tag is a 32-bit varint
            fail("field tag over 32 bits");
        return key;
    }

    [[gnu::noinline]] uint64_t varint_slow() {
        uint64_t v = 0;
        for (int i = 0; i < 10; ++i) {
            if (p_ == end_)
                fail("truncated");
            uint8_t b = *p_++;
            v |= uint64_t(b & 0x7f) << (7 * i);  // bits past 64 (in a tenth byte) are dropped
            if (!(b & 0x80))
                return v;
        }
        fail("varint over 10 bytes");
    }

    uint64_t fixed(int n) {
        if (end_ - p_ < n)
            fail("truncated");
        uint64_t v = 0;
        for (int i = 0; i < n; ++i)
            v |= uint64_t(p_[i]) << (8 * i);  // little-endian on the wire, whatever the host
        p_ += n;
        return v;
    }

    const uint8_t *p_;
    const uint8_t *end_;
};

// Checks that a known field has its wire type.
inline void want(const Field &f, Wire wire, const char *name) {
    if (f.wire != wire) [[unlikely]]
        fail(std::string(name) + ": wire type " + wire_name(f.wire) + ", expected " + wire_name(wire));
}

// How many length-delimited fields the message `data` holds of each number 1..15: a first pass
// over its own fields, so that its repeated message fields are sized once instead of grown. A
// malformed message fails here as the reading pass would.
struct Counts {
    uint32_t of[16] = {};
};

Counts count_fields(std::string_view data) {
    Counts c;
    Cursor cur(data);
    Field f;
    while (cur.more()) {
        cur.next(f);
        if (f.number < 16 && f.wire == kLen)
            ++c.of[f.number];
    }
    return c;
}

// Space reserved ahead for one repeated field at most (elements); a longer list grows as it is read.
constexpr size_t kMaxReserve = 1 << 16;

// Sizes `list` for `more` elements to come, of which at most `left` may still be taken (the rest
// would go over a limit).
template <class T>
inline void make_room(std::vector<T> &list, uint32_t more, size_t left) {
    size_t n = std::min({static_cast<size_t>(more), left, kMaxReserve});
    if (n > 1)
        list.reserve(list.size() + n);
}

const char *limit_noun(LimitError::Kind kind) {
    switch (kind) {
    case LimitError::Kind::spans: return "spans";
    case LimitError::Kind::span_events: return "span events";
    case LimitError::Kind::span_links: return "span links";
    case LimitError::Kind::log_records: return "log records";
    case LimitError::Kind::parts: return "attributes and other parts";
    }
    return "items";
}

// --- UTF-8 ---------------------------------------------------------------------------------

// The length of the well-formed sequence at `p` (n > 0 bytes left), or 0 with `bad` set to the
// length of its maximal ill-formed subpart (at least 1).
size_t sequence_at(const uint8_t *p, size_t n, size_t &bad) {
    uint8_t c = p[0];
    size_t len;
    uint8_t lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        len = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;  // no overlong forms
        else if (c == 0xED)
            hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;  // no overlong forms
        else if (c == 0xF4)
            hi = 0x8F;  // nothing past U+10FFFF
    } else {
        bad = 1;  // a continuation byte, C0, C1 or F5..FF: never the start of a sequence
        return 0;
    }
    for (size_t k = 1; k < len; ++k) {
        uint8_t lower = k == 1 ? lo : 0x80, upper = k == 1 ? hi : 0xBF;
        if (k >= n || p[k] < lower || p[k] > upper) {
            bad = k;  // the lead byte and the continuation bytes that fitted
            return 0;
        }
    }
    return len;
}

bool valid_utf8(std::string_view s) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(s.data());
    size_t n = s.size(), i = 0;
    while (i < n) {
        if (n - i >= 8) {
            uint64_t w;
            std::memcpy(&w, p + i, 8);
            if ((w & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        size_t bad = 0, len = sequence_at(p + i, n - i, bad);
        if (len == 0)
            return false;
        i += len;
    }
    return true;
}

std::string repair_utf8(std::string_view s) {
    const uint8_t *p = reinterpret_cast<const uint8_t *>(s.data());
    size_t n = s.size(), i = 0;
    std::string out;
    out.reserve(n + 8);
    while (i < n) {
        size_t bad = 0, len = sequence_at(p + i, n - i, bad);
        if (len) {
            out.append(s.substr(i, len));
            i += len;
        } else {
            out.append("\xEF\xBF\xBD");
            i += bad;
        }
    }
    return out;
}

// --- messages ------------------------------------------------------------------------------

class Reader {
public:
    Reader(Repaired &repaired, const Limits &limits) : repaired_(repaired), limits_(limits) {}

    void traces(std::string_view body, TracesRequest &out) {
        size_t spans = 0;
        Cursor c(body);
        Field f;
        try {
            while (c.more()) {
                c.next(f);
                if (f.number == 1) {
                    want(f, kLen, "resource_spans");
                    take_part();
                    size_t index = out.resource_spans.size();
                    try {
                        resource_spans(f.bytes, out.resource_spans.emplace_back(), spans);
                    } catch (Fault &e) {
                        add_place(e, "resource_spans", static_cast<long long>(index), true);
                        throw;
                    }
                }
            }
        } catch (Fault &e) {
            add_place(e, "request", -1, true);
            throw;
        }
        out.span_count = spans;
    }

    void logs(std::string_view body, LogsRequest &out) {
        size_t records = 0;
        Cursor c(body);
        Field f;
        try {
            while (c.more()) {
                c.next(f);
                if (f.number == 1) {
                    want(f, kLen, "resource_logs");
                    take_part();
                    size_t index = out.resource_logs.size();
                    try {
                        resource_logs(f.bytes, out.resource_logs.emplace_back(), records);
                    } catch (Fault &e) {
                        add_place(e, "resource_logs", static_cast<long long>(index), true);
                        throw;
                    }
                }
            }
        } catch (Fault &e) {
            add_place(e, "request", -1, true);
            throw;
        }
        out.record_count = records;
    }

private:
    [[noreturn, gnu::cold, gnu::noinline]] static void over(LimitError::Kind kind, size_t limit) {
        throw LimitError(kind, limit);
    }

    // Counts one part against the limit (Limits::parts).
    [[gnu::always_inline]] inline void take_part() {
        if (parts_ >= limits_.parts) [[unlikely]]
            over(LimitError::Kind::parts, limits_.parts);
        ++parts_;
    }
    size_t parts_left() const { return limits_.parts - parts_; }

    // Counts one item of a kind (`taken` its count so far) against Limits::items.
    [[gnu::always_inline]] inline void take_item(size_t &taken, LimitError::Kind kind) {
        if (taken >= limits_.items) [[unlikely]]
            over(kind, limits_.items);
        ++taken;
    }

    Text text(const Field &f, const char *name) {
        want(f, kLen, name);
        if (valid_utf8(f.bytes)) [[likely]]
            return f.bytes;
        take_part();  // a repaired text takes storage of its own, even one set again and again
        auto fixed = std::make_unique<std::string>(repair_utf8(f.bytes));
        Text t(*fixed);
        repaired_.push_back(std::move(fixed));
        return t;
    }

    static Bytes bytes(const Field &f, const char *name) {
        want(f, kLen, name);
        return f.bytes;
    }

    static uint32_t uint32(const Field &f, const char *name) {
        want(f, kVarint, name);
        return static_cast<uint32_t>(f.scalar);
    }

    static int32_t int32(const Field &f, const char *name) {
        want(f, kVarint, name);
        return static_cast<int32_t>(static_cast<uint32_t>(f.scalar));
    }

    static uint64_t fixed64(const Field &f, const char *name) {
        want(f, kFixed64, name);
        return f.scalar;
    }

    static uint32_t fixed32(const Field &f, const char *name) {
        want(f, kFixed32, name);
        return static_cast<uint32_t>(f.scalar);
    }

    // The next element of the repeated message field `name`, read by `read` with the fault
    // placed as "label N" (N: its position in the list).
    template <class T, class Read>
    void element(const Field &f, const char *name, const char *label, std::vector<T> &list, Read &&read) {
        want(f, kLen, name);
        size_t index = list.size();
        try {
            read(f.bytes, list.emplace_back());
        } catch (Fault &e) {
            add_place(e, label, static_cast<long long>(index), false);
            throw;
        }
    }

    // A singular message field, merged into `into` (protobuf's rule for a repeated occurrence).
    template <class T, class Read>
    void merge(const Field &f, const char *label, T &into, Read &&read) {
        want(f, kLen, label);
        try {
            read(f.bytes, into);
        } catch (Fault &e) {
            add_place(e, label, -1, false);
            throw;
        }
    }

    void attribute(const Field &f, Attributes &list) {
        take_part();
        element(f, "attributes", "attribute", list, [this](std::string_view b, KeyValue &kv) { key_value(b, kv, 1); });
    }

    // KeyValue; its value at nesting level `depth`.
    void key_value(std::string_view data, KeyValue &kv, int depth) {
        Cursor c(data);
        Field f;
        while (c.more()) {
            c.next(f);
            switch (f.number) {
            case 1: kv.key = text(f, "key"); break;
            case 2:
                // Only an attribute's own value says "value": nested ones add no place (see
                // array_values).
                if (depth == 1)
                    merge(f, "value", kv.value, [this](std::string_view b, AnyValue &v) { any_value(b, v, 1); });
                else {
                    want(f, kLen, "value");
                    any_value(f.bytes, kv.value, depth);
                }
                break;
            case 3: kv.key_ref = int32(f, "key_strindex"); break;
            default: break;
            }
        }
    }

    // Switches a oneof to `kind`; a message member it already holds stays, to be merged into.
    static void become(AnyValue &v, AnyValue::Kind kind) {
        if (v.kind == kind)
            return;
        v.array.clear();
        v.kvlist.clear();
        v.kind = kind;
    }

    // AnyValue at nesting level `depth` (1: an attribute's value, a log body).
    void any_value(std::string_view data, AnyValue &v, int depth) {
        if (depth > kMaxDepth)
            fail("nesting deeper than " + std::to_string(kMaxDepth) + " levels");
        Cursor c(data);
        Field f;
        while (c.more()) {
            c.next(f);
            switch (f.number) {
            case 1: {
                Text t = text(f, "string_value");
                become(v, AnyValue::Kind::string);
                v.s = t;
                break;
            }
            case 2:
                want(f, kVarint, "bool_value");
                become(v, AnyValue::Kind::boolean);
                v.b = f.scalar != 0;
                break;
            case 3:
                want(f, kVarint, "int_value");
                become(v, AnyValue::Kind::integer);
                v.i = static_cast<int64_t>(f.scalar);
                break;
            case 4: {
                uint64_t bits = fixed64(f, "double_value");
                become(v, AnyValue::Kind::real);
                std::memcpy(&v.d, &bits, 8);
                break;
            }
            case 5:
                want(f, kLen, "array_value");
                become(v, AnyValue::Kind::array);
                array_values(f.bytes, v.array, depth);
                break;
            case 6:
                want(f, kLen, "kvlist_value");
                become(v, AnyValue::Kind::kvlist);
                kvlist_values(f.bytes, v.kvlist, depth);
                break;
            case 7: {
                Bytes b = bytes(f, "bytes_value");
                become(v, AnyValue::Kind::bytes);
                v.s = b;
                break;
            }
            case 8: {
                int32_t ref = int32(f, "string_value_strindex");
                become(v, AnyValue::Kind::string_ref);
                v.i = ref;
                break;
            }
            default: break;
            }
        }
    }

    // ArrayValue (of the AnyValue at `depth`): its values one level deeper. Nested values add no
    // place of their own, which keeps messages short however deep the fault.
    void array_values(std::string_view data, std::vector<AnyValue> &values, int depth) {
        Counts n = count_fields(data);
        make_room(values, n.of[1], parts_left());
        Cursor c(data);
        Field f;
        while (c.more()) {
            c.next(f);
            if (f.number == 1) {
                want(f, kLen, "values");
                take_part();
                any_value(f.bytes, values.emplace_back(), depth + 1);
            }
        }
    }

    // KeyValueList (of the AnyValue at `depth`).
    void kvlist_values(std::string_view data, std::vector<KeyValue> &values, int depth) {
        Counts n = count_fields(data);
        make_room(values, n.of[1], parts_left());
        Cursor c(data);
        Field f;
        while (c.more()) {
            c.next(f);
            if (f.number == 1) {
                want(f, kLen, "values");
                take_part();
                key_value(f.bytes, values.emplace_back(), depth + 1);
            }
        }
    }

    void entity_ref(std::string_view data, EntityRef &e) {
        Cursor c(data);
        Field f;
        while (c.more()) {
            c.next(f);
            switch (f.number) {
            case 1: e.schema_url = text(f, "schema_url"); break;
            case 2: e.type = text(f, "type"); break;
            case 3:
                take_part();
                e.id_keys.push_back(text(f, "id_keys"));
                break;
            case 4:
                take_part();
                e.description_keys.push_back(text(f, "description_keys"));
                break;
            default: break;
            }
        }
    }

    void resource(std::string_view data, Resource &r) {
        Counts n = count_fields(data);
        make_room(r.attributes, n.of[1], parts_left());
        Cursor c(data);
        Field f;
        while (c.more()) {
            c.next(f);
            switch (f.number) {
            case 1: attribute(f, r.attributes); break;
            case 2: r.dropped_attributes_count = uint32(f, "dropped_attributes_count"); break;
            case 3:
                take_part();
                element(f, "entity_refs", "entity_ref", r.entity_refs,
                        [this](std::string_view b, EntityRef &e) { entity_ref(b, e); });
                break;
            default: break;
            }
        }
    }

    void scope(std::string_view data, Scope &s) {
        Counts n = count_fields(data);
        make_room(s.attributes, n.of[3], parts_left());
        Cursor c(data);
        Field f;
        while (c.more()) {
            c.next(f);
            switch (f.number) {
            case 1: s.name = text(f, "name"); break;
            case 2: s.version = text(f, "version"); break;
            case 3: attribute(f, s.attributes); break;
            case 4: s.dropped_attributes_count = uint32(f, "dropped_attributes_count"); break;
            default: break;
            }
        }
    }

    void span_event(std::string_view data, SpanEvent &e) {
        Counts n = count_fields(data);
        make_room(e.attributes, n.of[3], parts_left());
        Cursor c(data);
        Field f;
        while (c.more()) {
            c.next(f);
            switch (f.number) {
            case 1: e.time_unix_nano = fixed64(f, "time_unix_nano"); break;
            case 2: e.name = text(f, "name"); break;
            case 3: attribute(f, e.attributes); break;
            case 4: e.dropped_attributes_count = uint32(f, "dropped_attributes_count"); break;
            default: break;
            }
        }
    }

    void span_link(std::string_view data, SpanLink &l) {
        Counts n = count_fields(data);
        make_room(l.attributes, n.of[4], parts_left());
        Cursor c(data);
        Field f;
        while (c.more()) {
            c.next(f);
            switch (f.number) {
            case 1: l.trace_id = bytes(f, "trace_id"); break;
            case 2: l.span_id = bytes(f, "span_id"); break;
            case 3: l.trace_state = text(f, "trace_state"); break;
            case 4: attribute(f, l.attributes); break;
            case 5: l.dropped_attributes_count = uint32(f, "dropped_attributes_count"); break;
            case 6: l.flags = fixed32(f, "flags"); break;
            default: break;
            }
        }
    }

    void status(std::string_view data, Status &s) {
        Cursor c(data);
        Field f;
        while (c.more()) {
            c.next(f);
            switch (f.number) {
            case 2: s.message = text(f, "message"); break;
            case 3: s.code = int32(f, "code"); break;
            default: break;
            }
        }
    }

    void span(std::string_view data, Span &s) {
        Counts n = count_fields(data);
        make_room(s.attributes, n.of[9], parts_left());
        make_room(s.events, n.of[11], limits_.items - events_);
        make_room(s.links, n.of[13], limits_.items - links_);
        Cursor c(data);
        Field f;
        while (c.more()) {
            c.next(f);
            switch (f.number) {
            case 1: s.trace_id = bytes(f, "trace_id"); break;
            case 2: s.span_id = bytes(f, "span_id"); break;
            case 3: s.trace_state = text(f, "trace_state"); break;
            case 4: s.parent_span_id = bytes(f, "parent_span_id"); break;
            case 5: s.name = text(f, "name"); break;
            case 6: s.kind = int32(f, "kind"); break;
            case 7: s.start_time_unix_nano = fixed64(f, "start_time_unix_nano"); break;
            case 8: s.end_time_unix_nano = fixed64(f, "end_time_unix_nano"); break;
            case 9: attribute(f, s.attributes); break;
            case 10: s.dropped_attributes_count = uint32(f, "dropped_attributes_count"); break;
            case 11:
                take_item(events_, LimitError::Kind::span_events);
                element(f, "events", "event", s.events, [this](std::string_view b, SpanEvent &e) { span_event(b, e); });
                break;
            case 12: s.dropped_events_count = uint32(f, "dropped_events_count"); break;
            case 13:
                take_item(links_, LimitError::Kind::span_links);
                element(f, "links", "link", s.links, [this](std::string_view b, SpanLink &l) { span_link(b, l); });
                break;
            case 14: s.dropped_links_count = uint32(f, "dropped_links_count"); break;
            case 15: merge(f, "status", s.status, [this](std::string_view b, Status &st) { status(b, st); }); break;
            case 16: s.flags = fixed32(f, "flags"); break;
            default: break;
            }
        }
    }

    void scope_spans(std::string_view data, ScopeSpans &ss, size_t &spans) {
        Counts n = count_fields(data);
        make_room(ss.spans, n.of[2], limits_.items - spans);
        Cursor c(data);
        Field f;
        while (c.more()) {
            c.next(f);
            switch (f.number) {
            case 1: merge(f, "scope", ss.scope, [this](std::string_view b, Scope &s) { scope(b, s); }); break;
            case 2: {
                want(f, kLen, "spans");
                size_t index = spans;
                take_item(spans, LimitError::Kind::spans);
                try {
                    span(f.bytes, ss.spans.emplace_back());
                } catch (Fault &e) {
                    add_place(e, "span", static_cast<long long>(index), true);
                    throw;
                }
                break;
            }
            case 3: ss.schema_url = text(f, "schema_url"); break;
            default: break;
            }
        }
    }

    void resource_spans(std::string_view data, ResourceSpans &rs, size_t &spans) {
        Cursor c(data);
        Field f;
        while (c.more()) {
            c.next(f);
            switch (f.number) {
            case 1:
                merge(f, "resource", rs.resource, [this](std::string_view b, Resource &r) { resource(b, r); });
                break;
            case 2:
                take_part();
                element(f, "scope_spans", "scope_spans", rs.scope_spans,
                        [this, &spans](std::string_view b, ScopeSpans &ss) { scope_spans(b, ss, spans); });
                break;
            case 3: rs.schema_url = text(f, "schema_url"); break;
            default: break;
            }
        }
    }

    void log_record(std::string_view data, LogRecord &r) {
        Counts n = count_fields(data);
        make_room(r.attributes, n.of[6], parts_left());
        Cursor c(data);
        Field f;
        while (c.more()) {
            c.next(f);
            switch (f.number) {
            case 1: r.time_unix_nano = fixed64(f, "time_unix_nano"); break;
            case 2: r.severity_number = int32(f, "severity_number"); break;
            case 3: r.severity_text = text(f, "severity_text"); break;
            case 5: merge(f, "body", r.body, [this](std::string_view b, AnyValue &v) { any_value(b, v, 1); }); break;
            case 6: attribute(f, r.attributes); break;
            case 7: r.dropped_attributes_count = uint32(f, "dropped_attributes_count"); break;
            case 8: r.flags = fixed32(f, "flags"); break;
            case 9: r.trace_id = bytes(f, "trace_id"); break;
            case 10: r.span_id = bytes(f, "span_id"); break;
            case 11: r.observed_time_unix_nano = fixed64(f, "observed_time_unix_nano"); break;
            case 12: r.event_name = text(f, "event_name"); break;
            default: break;
            }
        }
    }

    void scope_logs(std::string_view data, ScopeLogs &sl, size_t &records) {
        Counts n = count_fields(data);
        make_room(sl.log_records, n.of[2], limits_.items - records);
        Cursor c(data);
        Field f;
        while (c.more()) {
            c.next(f);
            switch (f.number) {
            case 1: merge(f, "scope", sl.scope, [this](std::string_view b, Scope &s) { scope(b, s); }); break;
            case 2: {
                want(f, kLen, "log_records");
                size_t index = records;
                take_item(records, LimitError::Kind::log_records);
                try {
                    log_record(f.bytes, sl.log_records.emplace_back());
                } catch (Fault &e) {
                    add_place(e, "log record", static_cast<long long>(index), true);
                    throw;
                }
                break;
            }
            case 3: sl.schema_url = text(f, "schema_url"); break;
            default: break;
            }
        }
    }

    void resource_logs(std::string_view data, ResourceLogs &rl, size_t &records) {
        Cursor c(data);
        Field f;
        while (c.more()) {
            c.next(f);
            switch (f.number) {
            case 1:
                merge(f, "resource", rl.resource, [this](std::string_view b, Resource &r) { resource(b, r); });
                break;
            case 2:
                take_part();
                element(f, "scope_logs", "scope_logs", rl.scope_logs,
                        [this, &records](std::string_view b, ScopeLogs &sl) { scope_logs(b, sl, records); });
                break;
            case 3: rl.schema_url = text(f, "schema_url"); break;
            default: break;
            }
        }
    }

    Repaired &repaired_;
    const Limits &limits_;
    size_t parts_ = 0;   // parts taken so far (Limits::parts)
    size_t events_ = 0;  // span events taken so far, in all spans
    size_t links_ = 0;   // span links taken so far, in all spans
};

}  // namespace

LimitError::LimitError(Kind kind_, size_t limit_)
    : std::runtime_error("more than " + std::to_string(limit_) + " " + limit_noun(kind_)), kind(kind_),
      limit(limit_) {}

TracesRequest read_traces(std::string_view body, const Limits &limits) {
    TracesRequest out;
    try {
        Reader(out.repaired, limits).traces(body, out);
    } catch (Fault &e) {
        throw DecodeError(e.what);
    }
    return out;
}

LogsRequest read_logs(std::string_view body, const Limits &limits) {
    LogsRequest out;
    try {
        Reader(out.repaired, limits).logs(body, out);
    } catch (Fault &e) {
        throw DecodeError(e.what);
    }
    return out;
}

}  // namespace orvane::ingest::otlp
