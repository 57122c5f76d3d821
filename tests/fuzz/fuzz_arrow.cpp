// kavno_feed's Arrow reader on schemas and arrays built from the input: any formats, names, lengths, offsets, null
// counts, buffer and child counts, bitmaps and values. The C data interface carries no buffer sizes, so every buffer
// here is as large as the lengths and offsets of the input can reach (what a producer that tells the truth about
// its buffers gives); everything else is the input's. Whatever the reader accepts must then be readable row by row,
// and hold the bar rules.
#include "fuzz.hpp"

#include "../../feed/reader.hpp"

#include <array>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr const char* formats[] = {"l", "g", "f", "e", "i", "I", "L", "c", "C", "s", "S", "tsm:UTC", "tss:",
                                   "tsn:Asia/Tokyo", "tsu:+01:00", "tdD", "tdm", "u", "U", "vu", "b", "+s", "d:10,2",
                                   "tDs", "n", "z", ""};
constexpr const char* names[] = {"open_time", "close_time", "open", "high", "low", "close",
                                 "volume", "amount", "trades", "code", "x"};
constexpr std::int64_t max_rows = 48;
constexpr std::size_t data_bytes = 32768;

void no_release(ArrowSchema* schema) { schema->release = nullptr; }
void no_release(ArrowArray* array) { array->release = nullptr; }

struct Input {
    const std::uint8_t* data;
    std::size_t size;
    template <class T>
    T next() { return take<T>(data, size); }
    // A small count, sometimes out of range (negative, or beyond what the layout has).
    std::int64_t count(std::int64_t high) {
        const auto byte = next<std::uint8_t>();
        if (byte == 0xFF) return -1;
        if (byte == 0xFE) return -(1 + next<std::uint8_t>());
        return byte % (high + 1);
    }
};

// Everything one child array points at, owned here.
struct ChildMemory {
    std::vector<std::unique_ptr<std::uint8_t[]>> blocks;
    std::vector<const void*> buffers;
    ArrowArray array{};
};

std::uint8_t* block(ChildMemory& memory, std::size_t bytes, Input& input, bool zeroed = false) {
    memory.blocks.push_back(std::make_unique<std::uint8_t[]>(bytes));
    std::uint8_t* out = memory.blocks.back().get();
    for (std::size_t i = 0; i < bytes; ++i) out[i] = zeroed ? 0 : (input.size ? input.next<std::uint8_t>() : 0);
    return out;
}

void make_child(ChildMemory& memory, std::string_view format, std::int64_t reach, Input& input) {
    ArrowArray& array = memory.array;
    array.length = input.count(max_rows);
    array.offset = input.count(8);
    array.null_count = input.count(3);
    const std::size_t rows = static_cast<std::size_t>(reach + (array.offset > 0 ? array.offset : 0) +
                                                      (array.length > 0 ? array.length : 0) + 1);
    const bool text = format == "u" || format == "U";
    const bool view = format == "vu";
    std::int64_t buffers = view ? 3 + input.count(2) : text ? 3 : 2;
    if (input.next<std::uint8_t>() == 0x42) buffers = input.count(4);  // any count at all, now and then
    for (std::int64_t b = 0; b < buffers && b < 8; ++b) {
        const std::uint8_t choice = input.next<std::uint8_t>();
        if (choice == 0x00 && b > 0) {
            memory.buffers.push_back(nullptr);
        } else if (b == 0) {
            memory.buffers.push_back(choice & 1 ? block(memory, rows / 8 + 2, input) : nullptr);
        } else if (text && b == 1) {
            // Offsets from the input, each within [-32768, 32767]: a data buffer of 32 KiB holds any in range.
            auto* offsets = block(memory, (rows + 1) * (format == "u" ? 4 : 8), input, true);
            for (std::size_t i = 0; i <= rows; ++i) {
                const auto value = static_cast<std::int64_t>(input.next<std::int16_t>());
                if (format == "u") {
                    const auto narrow = static_cast<std::int32_t>(value);
                    std::memcpy(offsets + i * 4, &narrow, 4);
                } else {
                    std::memcpy(offsets + i * 8, &value, 8);
                }
            }
            memory.buffers.push_back(offsets);
        } else if (view && b == 1) {
            auto* views = block(memory, rows * 16, input, true);
            for (std::size_t i = 0; i < rows; ++i) {
                const std::int32_t values[4] = {input.next<std::int16_t>(), input.next<std::int32_t>(),
                                                input.next<std::int8_t>(), input.next<std::int16_t>()};
                std::memcpy(views + i * 16, values, 16);
            }
            memory.buffers.push_back(views);
        } else if (view && b == buffers - 1) {
            auto* sizes = block(memory, 8 * 8, input, true);  // the true size of every data buffer
            const std::int64_t size = data_bytes;
            for (int i = 0; i < 8; ++i) std::memcpy(sizes + i * 8, &size, 8);
            memory.buffers.push_back(sizes);
        } else {
            memory.buffers.push_back(block(memory, text || view ? data_bytes : rows * 8, input));
        }
    }
    array.n_buffers = buffers;
    array.buffers = memory.buffers.data();
    if (input.next<std::uint8_t>() == 0x43) array.n_children = 1;
    array.release = no_release;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input input{data, size};
    feed::Request request;
    const std::uint8_t options = input.next<std::uint8_t>();
    request.integer_unit = static_cast<feed::Unit>(options % 5);
    request.check_high_low = (options & 8) != 0;
    static const std::string key_column = "code", other_column = "x";  // copied, not built from literals here
    if (options & 16) request.by = key_column;
    constexpr std::int64_t intervals[] = {60'000, 300'000, 900'000, 3'600'000, 86'400'000};
    request.close_after_ms = intervals[(options >> 5) % 5] - 1;
    if (options & 0x80) request.names[2] = other_column;  // open read from another column

    const std::int64_t children = input.count(12);
    std::vector<ArrowSchema> child_schemas(children > 0 ? children : 0);
    std::vector<ArrowSchema*> child_pointers;
    for (ArrowSchema& child : child_schemas) {
        child.format = formats[input.next<std::uint8_t>() % std::size(formats)];
        child.name = names[input.next<std::uint8_t>() % std::size(names)];
        child.release = no_release;
        child_pointers.push_back(&child);
    }
    ArrowSchema schema{};
    schema.format = input.next<std::uint8_t>() == 0x44 ? "+l" : "+s";
    schema.n_children = children;
    schema.children = child_pointers.empty() ? nullptr : child_pointers.data();
    schema.release = no_release;
    if (children < 0) schema.children = nullptr;

    feed::Layout layout;
    if (feed::read_schema(schema, request, layout)) return 0;
    FUZZ_ASSERT(schema.format == std::string_view("+s") && children >= 0);

    ArrowArray batch{};
    batch.length = input.count(max_rows);
    batch.offset = input.count(8);
    batch.null_count = input.count(2);
    std::vector<std::unique_ptr<std::uint8_t[]>> top_blocks;
    std::vector<const void*> top_buffers;
    const std::int64_t reach = (batch.length > 0 ? batch.length : 0) + (batch.offset > 0 ? batch.offset : 0);
    top_blocks.push_back(std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(reach / 8 + 2)));
    for (std::int64_t i = 0; i < reach / 8 + 2; ++i) top_blocks.back()[i] = input.next<std::uint8_t>();
    top_buffers.push_back(input.next<std::uint8_t>() & 1 ? top_blocks.back().get() : nullptr);
    batch.n_buffers = input.next<std::uint8_t>() == 0x45 ? 2 : 1;
    top_buffers.push_back(nullptr);
    batch.buffers = top_buffers.data();
    std::vector<ChildMemory> memories(static_cast<std::size_t>(children));
    std::vector<ArrowArray*> arrays;
    for (std::int64_t c = 0; c < children; ++c) {
        make_child(memories[c], child_schemas[c].format, reach, input);
        arrays.push_back(&memories[c].array);
    }
    batch.n_children = input.next<std::uint8_t>() == 0x46 ? children + 1 : children;
    std::vector<ArrowArray*> padded = arrays;
    padded.push_back(nullptr);
    batch.children = padded.data();
    batch.release = no_release;

    feed::Columns columns;
    feed::Groups groups;
    if (feed::read_batch(batch, layout, request, columns, request.by.empty() ? nullptr : &groups)) return 0;
    FUZZ_ASSERT(columns.rows == (columns.chunks.empty() ? 0 : batch.length));
    if (!request.by.empty()) {
        std::int64_t grouped = 0;
        for (const auto& group : groups.groups) grouped += static_cast<std::int64_t>(group.rows.size());
        FUZZ_ASSERT(grouped == batch.length);
    }
    // The one-pass check of the common layout and the general pass (which a list of rows asks for) agree.
    std::vector<std::int64_t> every_row(static_cast<std::size_t>(columns.rows));
    for (std::int64_t row = 0; row < columns.rows; ++row) every_row[static_cast<std::size_t>(row)] = row;
    const bool refused = feed::check_rows(columns, request).has_value();
    FUZZ_ASSERT(every_row.empty() || refused == feed::check_rows(columns, request, every_row).has_value());
    if (refused) return 0;
    // Accepted: every row reads, and in order the bars hold the rules once more.
    bars::Checker checker(request.check_high_low);
    for (std::int64_t row = 0; row < columns.rows; ++row) {
        std::int64_t within = 0;
        const feed::Chunk& chunk = columns.locate(row, within);
        bars::Bar bar;
        bar.open_time = chunk[bars::Field::OpenTime].time(within);
        bar.close_time = chunk[bars::Field::CloseTime].present ? chunk[bars::Field::CloseTime].time(within)
                                                                : bar.open_time.plus_milliseconds(request.close_after_ms);
        FUZZ_ASSERT(bars::within_years(bar.open_time) && bars::within_years(bar.close_time));
        bar.open = chunk[bars::Field::Open].number(within);
        bar.high = chunk[bars::Field::High].number(within);
        bar.low = chunk[bars::Field::Low].number(within);
        bar.close = chunk[bars::Field::Close].number(within);
        bar.volume = chunk[bars::Field::Volume].number(within);
        bar.amount = chunk[bars::Field::Amount].present ? chunk[bars::Field::Amount].number(within) : 0.0;
        bar.trades = chunk[bars::Field::Trades].present ? chunk[bars::Field::Trades].integer(within) : 0;
        FUZZ_ASSERT(checker.accept(bar));
    }
    (void)feed::describe_format(formats[size % std::size(formats)]);
    return 0;
}
