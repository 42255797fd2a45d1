#include "LogTime.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace logtime {
namespace {

std::atomic<bool> gEnabled{false};
static_assert(std::atomic<bool>::is_always_lock_free, "read from signal handlers");

void putDigits(char* out, unsigned value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

// The proleptic Gregorian date of a day counted from 1970-01-01 (days may be
// negative). Plain arithmetic: gmtime_r is not async-signal-safe.
void civilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned shiftedMonth = (5 * dayOfYear + 2) / 153;  // March is 0
    day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

}  // namespace

void configureFromEnvironment() {
    const char* value = std::getenv("RTI_LOG_TIME");
    setEnabled(value != nullptr && std::strcmp(value, "1") == 0);
}

void setEnabled(bool on) { gEnabled.store(on); }
bool enabled() { return gEnabled.load(std::memory_order_relaxed); }

void formatPrefix(const timespec& when, char* out) {
    const int64_t seconds = when.tv_sec;
    int64_t days = seconds / 86400;
    int64_t secondOfDay = seconds % 86400;
    if (secondOfDay < 0) {
        secondOfDay += 86400;
        --days;
    }
    int64_t year = 0;
    unsigned month = 0, day = 0;
    civilFromDays(days, year, month, day);
    // Years outside 0000-9999 cannot be written in four digits; no clock
    // this runs on gets there, so they are clamped rather than widened.
    const unsigned y = year < 0 ? 0u : year > 9999 ? 9999u : static_cast<unsigned>(year);
    const unsigned sod = static_cast<unsigned>(secondOfDay);
    const long ns = when.tv_nsec < 0 ? 0 : when.tv_nsec > 999999999 ? 999999999 : when.tv_nsec;
    std::memcpy(out, "0000-00-00T00:00:00.000Z ", kPrefixLength);
    putDigits(out, y, 4);
    putDigits(out + 5, month, 2);
    putDigits(out + 8, day, 2);
    putDigits(out + 11, sod / 3600, 2);
    putDigits(out + 14, sod / 60 % 60, 2);
    putDigits(out + 17, sod % 60, 2);
    putDigits(out + 20, static_cast<unsigned>(ns / 1000000), 3);
}

void formatNow(char* out) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    formatPrefix(now, out);
}

int StampingStreambuf::overflow(int c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    const char ch = traits_type::to_char_type(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
}

std::streamsize StampingStreambuf::xsputn(const char* s, std::streamsize n) {
    std::streamsize done = 0;
    while (done < n) {
        if (atLineStart_) {
            char prefix[kPrefixLength];
            formatNow(prefix);
            if (target_->sputn(prefix, kPrefixLength) !=
                static_cast<std::streamsize>(kPrefixLength)) {
                return done;
            }
            atLineStart_ = false;
        }
        const void* end = std::memchr(s + done, '\n', static_cast<size_t>(n - done));
        const std::streamsize chunk =
            end != nullptr ? static_cast<const char*>(end) - (s + done) + 1 : n - done;
        const std::streamsize written = target_->sputn(s + done, chunk);
        done += written;
        if (written != chunk) return done;
        if (end != nullptr) atLineStart_ = true;
    }
    return done;
}

int StampingStreambuf::sync() { return target_->pubsync(); }

}  // namespace logtime
