// A list of times of day, in seconds since midnight, with its one-line text
// form ("08:00 12:30 18:00") and the two searches of the check schedule.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/datetime.h"

class TTimeList {
 public:
  // Throws the error of SetText.
  explicit TTimeList(const std::string& Text = "");
  virtual ~TTimeList() = default;

  // ToString(':').
  std::string GetText() const;
  // Parse(Text, ':'), then sorts ascending. Throws Exception "Wrong time value "
  // followed by the bad token in double quotes; the entries read before it stay,
  // unsorted.
  void SetText(const std::string& Text);
  // The same with the time separator of the user's locale.
  std::string GetLocalText() const;
  void SetLocalText(const std::string& Text);

  int32_t Count() const { return static_cast<int32_t>(times_.size()); }
  int32_t Item(int32_t Index) const { return times_.at(static_cast<size_t>(Index)); }

  // The entry nearest to the time of day of T, as a fraction of a day;
  // -1/86400 for an empty list.
  TDateTime Nearest(TDateTime T) const;
  // The smallest entry later than the time of day of T, as a fraction of a
  // day; -1 when there is none.
  TDateTime NextAfter(TDateTime T) const;

  // "hh<Sep>nn" of every entry in list order, joined by single blanks.
  std::string ToString(char Sep) const;
  // Replaces the entries by the times of Text: tokens between blanks, each
  // hours<Sep>minutes[<Sep>seconds]. Does not sort. Throws like SetText.
  void Parse(const std::string& Text, char Sep);

 private:
  // Parse, then the ascending sort with CompareTimes (left out when Parse throws).
  void ParseSorted(const std::string& Text, char Sep);

  std::vector<int32_t> times_;
};

// A minus B: the ascending order of entries.
int32_t CompareTimes(int32_t A, int32_t B);
