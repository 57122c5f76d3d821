// The CSV file of bars that kavno's tools share (kavno_feed.candles, examples/backtest.py, the demo engine):
// "open_time_ms,open,high,low,close,volume" rows, an optional header row of exactly those names and an optional
// UTF-8 byte order mark. The file is read as a stream, a block at a time, and every bar is checked by the bar
// rules as it is read; reading stops at the first fault with "FILE:LINE: what is wrong". Nothing here knows Python.
#pragma once

#include "bars/rules.hpp"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <vector>

namespace bars {

struct CsvBar {
    std::int64_t open_ms;
    double open, high, low, close, volume;
};

// What is wrong with the input, as the user is to read it; `kind` tells a missing file and a failed read from
// what the file holds.
struct BadInput : std::runtime_error {
    enum class Kind { Missing, Unreadable, Content };
    BadInput(Kind kind, const std::string& what) : std::runtime_error(what), kind(kind) {}
    Kind kind;
};

inline constexpr std::string_view csv_header = "open_time_ms,open,high,low,close,volume";
inline constexpr std::array<const char*, 6> csv_columns = {"open_time_ms", "open", "high", "low", "close", "volume"};

// A field as the message shows it: quoted, with bytes that would not print written as \xNN.
inline std::string shown(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out = "'";
    for (const char c : text.substr(0, 40)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '\'') {
            out += c;
        } else {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 15];
        }
    }
    return out + (text.size() > 40 ? "...'" : "'");
}

// The whole field as a number of type T, or nothing: no sign but '-', no spaces, no trailing bytes.
template <class T>
bool parse_whole(std::string_view field, T& value) {
    const char* end = field.data() + field.size();
    const auto [stop, error] = std::from_chars(field.data(), end, value);
    return error == std::errc() && stop == end && !field.empty();
}

// The name of a CSV column as messages give it: the time column is the file's "open_time_ms".
inline const char* csv_column(Field field) {
    switch (field) {
        case Field::OpenTime: return csv_columns[0];
        case Field::Open: return csv_columns[1];
        case Field::High: return csv_columns[2];
        case Field::Low: return csv_columns[3];
        case Field::Close: return csv_columns[4];
        default: return csv_columns[5];  // volume: the only other field a CSV bar's fault can name
    }
}

// Lines of a file read a block at a time: memory stays bounded by the longest line, whatever the file's size.
class LineReader {
public:
    explicit LineReader(const std::string& path) : path_(path) {
        struct stat status {};
        if (path.empty()) throw BadInput(BadInput::Kind::Missing, "'': no file named");
        if (::stat(path.c_str(), &status) != 0) {
            throw BadInput(errno == ENOENT ? BadInput::Kind::Missing : BadInput::Kind::Unreadable,
                           path + ": " + std::strerror(errno));
        }
        if (!S_ISREG(status.st_mode)) throw BadInput(BadInput::Kind::Unreadable, path + ": not a regular file");
        file_.reset(std::fopen(path.c_str(), "rb"));
        if (!file_) throw BadInput(BadInput::Kind::Unreadable, path + ": " + std::strerror(errno));
    }

    // The next line without its end of line; false at the end of the file.
    bool next(std::string& line) {
        line.clear();
        for (bool any = false;; any = true) {
            if (position_ == filled_ && !fill()) {
                if (!any) return false;
                return finish(line);  // a last line without a newline
            }
            const char* start = block_ + position_;
            const auto* newline = static_cast<const char*>(std::memchr(start, '\n', filled_ - position_));
            const std::size_t length = newline ? static_cast<std::size_t>(newline - start) : filled_ - position_;
            if (line.size() + length > max_line) {
                throw BadInput(BadInput::Kind::Content, path_ + ":" + std::to_string(number_ + 1) +
                                                            ": a line longer than " + std::to_string(max_line) +
                                                            " bytes; this is no CSV file of bars");
            }
            line.append(start, length);
            position_ += length;
            if (newline != nullptr) {
                ++position_;
                return finish(line);
            }
        }
    }

    std::size_t number() const noexcept { return number_; }  // of the line `next` gave last, from 1

private:
    static constexpr std::size_t max_line = 4096;

    bool fill() {
        filled_ = std::fread(block_, 1, sizeof block_, file_.get());
        position_ = 0;
        if (filled_ == 0 && std::ferror(file_.get())) {
            throw BadInput(BadInput::Kind::Unreadable, path_ + ": cannot be read: " + std::strerror(errno));
        }
        return filled_ != 0;
    }

    struct Close {
        void operator()(std::FILE* file) const noexcept { std::fclose(file); }
    };
    std::string path_;
    std::unique_ptr<std::FILE, Close> file_;
    char block_[1 << 16];
    std::size_t filled_ = 0, position_ = 0, number_ = 0;

    bool finish(std::string& line) noexcept {
        ++number_;
        if (line.ends_with('\r')) line.pop_back();
        return true;
    }
};

// Reads and checks every bar of the file; each bar closes at open + interval - 1 ms.
inline std::vector<CsvBar> read_csv(const std::string& path, std::int64_t interval_ms, bool check_high_low = true) {
    auto reader = std::make_unique<LineReader>(path);
    Checker checker(check_high_low);
    std::vector<CsvBar> bars;
    std::string line;
    while (reader->next(line)) {
        const std::size_t number = reader->number();
        std::string_view text = line;
        if (number == 1 && text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
        if (number == 1 && text == csv_header) continue;
        const std::string where = path + ":" + std::to_string(number) + ": ";
        if (text.empty()) throw BadInput(BadInput::Kind::Content, where + "an empty line");

        std::string_view fields[6];
        std::size_t count = 0;
        for (std::string_view remaining = text;; ++count) {
            const std::size_t comma = remaining.find(',');
            if (count < 6) fields[count] = remaining.substr(0, comma);
            if (comma == std::string_view::npos) {
                ++count;
                break;
            }
            remaining.remove_prefix(comma + 1);
        }
        if (count != 6) {
            throw BadInput(BadInput::Kind::Content, where + "expected 6 comma-separated fields (" +
                                                        std::string(csv_header) + "), found " + std::to_string(count));
        }
        const std::string row = "row " + std::to_string(bars.size());
        CsvBar bar{};
        Bar checked;
        if (!parse_whole(fields[0], bar.open_ms)) {
            throw BadInput(BadInput::Kind::Content, where + "column 'open_time_ms', " + row + ": " + shown(fields[0]) +
                                                        " is not a whole number of milliseconds");
        }
        std::int64_t close_ms = 0;
        if (!to_time(bar.open_ms, Unit::Milliseconds, checked.open_time) ||
            __builtin_add_overflow(bar.open_ms, interval_ms - 1, &close_ms) ||
            !to_time(close_ms, Unit::Milliseconds, checked.close_time)) {
            throw BadInput(BadInput::Kind::Content, where + "column 'open_time_ms', " + row + ": " +
                                                        std::to_string(bar.open_ms) + " ms is " +
                                                        std::string(years_text));
        }
        double* values[] = {&bar.open, &bar.high, &bar.low, &bar.close, &bar.volume};
        for (std::size_t i = 0; i < 5; ++i) {
            if (!parse_whole(fields[i + 1], *values[i])) {
                throw BadInput(BadInput::Kind::Content, where + "column '" + csv_columns[i + 1] + "', " + row + ": " +
                                                            shown(fields[i + 1]) + " is not a number");
            }
        }
        checked.open = bar.open;
        checked.high = bar.high;
        checked.low = bar.low;
        checked.close = bar.close;
        checked.volume = bar.volume;
        if (!checker.accept(checked)) {
            const Fault fault = checker.fault(checked);
            throw BadInput(BadInput::Kind::Content,
                           where + describe(fault, csv_column(fault.field), static_cast<std::int64_t>(bars.size())));
        }
        bars.push_back(bar);
    }
    if (bars.empty()) throw BadInput(BadInput::Kind::Content, path + ": no bars");
    return bars;
}

}  // namespace bars
