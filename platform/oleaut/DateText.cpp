// Automation dates as text, written and read.
#include "DateText.h"

#include "NumberText.h"

#include <cstdio>
#include <cstring>

namespace trumik::platform::oleaut {

namespace {

std::string Pad2(unsigned v)
{
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02u", v % 100);
    return buf;
}

} // namespace

bool FormatDate(double date, const LocaleRules& rules, std::string& out)
{
    DateParts p;
    if (!SplitDate(date, p))
        return false;
    const bool noTime = p.hour == 0 && p.minute == 0 && p.second == 0;
    const bool noDate = p.year == 1899 && p.month == 12 && p.day == 30;
    // A zero time prints the date only, a zero date the time only.
    std::string datePart, timePart;
    if (!noDate) {
        const std::string day = rules.padDayMonth ? Pad2(p.day) : std::to_string(p.day);
        const std::string month = rules.padDayMonth ? Pad2(p.month) : std::to_string(p.month);
        const char sep = static_cast<char>(rules.dateSep);
        char year[8];
        std::snprintf(year, sizeof year, "%04u", static_cast<unsigned>(p.year));
        datePart = rules.dayFirst ? day + sep + month + sep + year : month + sep + day + sep + year;
    }
    if (noDate || !noTime) {
        unsigned hour = p.hour;
        if (rules.twelveHour) {
            hour = p.hour % 12;
            if (hour == 0)
                hour = 12;
        }
        timePart =
            (rules.padHour ? Pad2(hour) : std::to_string(hour)) + ":" + Pad2(p.minute) + ":" + Pad2(p.second);
        if (rules.twelveHour)
            timePart += p.hour < 12 ? " AM" : " PM";
    }
    out = datePart.empty() ? timePart : timePart.empty() ? datePart : datePart + " " + timePart;
    return true;
}

namespace {

// Dates as text: "dd.mm.yyyy" (or m/d/yyyy where the locale puts the month
// first), ISO "yyyy-mm-dd", each optionally followed by a time "h:mm[:ss]"
// (after a blank or a 'T'), with AM/PM accepted; or a time alone.
class DateScanner {
  public:
    explicit DateScanner(std::u16string_view s) : s_(s) {}

    bool AtEnd() const { return i_ >= s_.size(); }
    char16_t Peek() const { return AtEnd() ? 0 : s_[i_]; }
    void Skip() { ++i_; }
    void SkipBlanks()
    {
        while (!AtEnd() && IsSpace(s_[i_]))
            ++i_;
    }
    // Reads 1..maxDigits digits; returns their count (0: none).
    int Number(unsigned& value, int maxDigits = 5)
    {
        value = 0;
        int n = 0;
        while (!AtEnd() && s_[i_] >= u'0' && s_[i_] <= u'9' && n < maxDigits) {
            value = value * 10 + (s_[i_] - u'0');
            ++i_;
            ++n;
        }
        return n;
    }
    bool Word(const char* ascii)
    {
        const size_t n = std::strlen(ascii);
        if (s_.size() - i_ < n || !EqualsAsciiNoCase(s_.substr(i_, n), ascii))
            return false;
        i_ += n;
        return true;
    }
    size_t Pos() const { return i_; }
    void Reset(size_t pos) { i_ = pos; }

  private:
    std::u16string_view s_;
    size_t i_ = 0;
};

bool ParseTime(DateScanner& sc, unsigned& hour, unsigned& minute, unsigned& second)
{
    second = 0;
    if (sc.Number(hour, 2) == 0 || sc.Peek() != u':')
        return false;
    sc.Skip();
    if (sc.Number(minute, 2) != 2)
        return false;
    if (sc.Peek() == u':') {
        sc.Skip();
        if (sc.Number(second, 2) != 2)
            return false;
    }
    const size_t before = sc.Pos();
    sc.SkipBlanks();
    const bool am = sc.Word("AM"), pm = !am && sc.Word("PM");
    if (am || pm) {
        if (hour < 1 || hour > 12)
            return false;
        hour %= 12;
        if (pm)
            hour += 12;
    } else {
        sc.Reset(before);
    }
    return true;
}

} // namespace

bool ParseDate(std::u16string_view text, const LocaleRules& rules, double& out)
{
    DateScanner sc(Trim(text));
    int64_t year = 1899;
    unsigned month = 12, day = 30, hour = 0, minute = 0, second = 0;
    const size_t start = sc.Pos();
    unsigned a, b, c;
    const int aDigits = sc.Number(a);
    bool haveDate = false;
    const char16_t sep = sc.Peek();
    if (aDigits > 0 && (sep == u'.' || sep == u'/' || sep == u'-')) {
        sc.Skip();
        if (sc.Number(b, 2) == 0 || sc.Peek() != sep)
            return false;
        sc.Skip();
        const int cDigits = sc.Number(c, 4);
        if (cDigits == 0)
            return false;
        if (aDigits == 4) {
            year = a;
            month = b;
            day = c;
        } else {
            if (aDigits > 2 || (cDigits != 2 && cDigits != 4))
                return false;
            day = rules.dayFirst ? a : b;
            month = rules.dayFirst ? b : a;
            year = c;
            if (cDigits == 2)
                year += year < 30 ? 2000 : 1900;
        }
        haveDate = true;
    } else {
        sc.Reset(start);
    }
    if (haveDate && !sc.AtEnd()) {
        if (sc.Peek() == u'T' || sc.Peek() == u't')
            sc.Skip();
        else if (IsSpace(sc.Peek()))
            sc.SkipBlanks();
        else
            return false;
    }
    if (!sc.AtEnd() && !ParseTime(sc, hour, minute, second))
        return false;
    if (!haveDate && sc.Pos() == start)
        return false;
    sc.SkipBlanks();
    if (!sc.AtEnd())
        return false;
    return JoinDate(year, month, day, hour, minute, second, out);
}

} // namespace trumik::platform::oleaut
