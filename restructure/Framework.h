// Pieces of the component framework that the restructuring component builds on and the table
// engine does not provide: the assignable persistent object (TPersistent) and the text
// conversions of numbers, dates and times with their conversion errors (engine::EConvertError).
//
// Regional formats. The users are Spanish, so texts are read and written in the Spanish regional
// formats: dates dd/mm/yyyy, times hh:nn:ss, a comma as the decimal separator. On input the ISO
// forms are accepted too (yyyy-mm-dd, "yyyy-mm-dd hh:nn:ss" or with a 'T'), and a point as the
// decimal separator, because texts written by programs or copied from other tools use them and
// neither form is ambiguous (no thousands separator is ever accepted). Years must be written with
// four digits: a two-digit year would have to be guessed, and a wrong century in a validity check
// is worse than asking the user to write it out. Times may carry milliseconds (hh:nn:ss.zzz);
// they are written back only when not zero, so nothing is lost on the way round.
//
// Everything here is pure computation on the caller's thread; nothing touches a file.
#pragma once

#include <cstdint>
#include <string>

namespace restructure {

// Framework texts, as the Spanish framework words them.
namespace texts {
inline constexpr const char* kAssignError = "No se puede asignar %s a %s";
inline constexpr const char* kInvalidInteger = "'%s' no es un valor entero válido";
inline constexpr const char* kInvalidFloat = "'%s' no es un valor punto flotante válido";
inline constexpr const char* kInvalidDate = "'%s' no es una fecha válida";
inline constexpr const char* kInvalidTime = "'%s' no es una hora válida";
inline constexpr const char* kInvalidDateTime = "'%s' no es una fecha y hora válida";
}  // namespace texts

// Replaces each "%s" of `pattern` in turn by the next argument (at most two).
std::string FormatText(const char* pattern, const std::string& a, const std::string& b = {});

// An object whose contents can be copied from another object by Assign. A class that can take the
// contents of some source class overrides Assign (or the source overrides AssignTo); any other
// pairing raises engine::EConvertError "No se puede asignar <source class> a <target class>"
// ("nil" for no source). Objects are not copyable by value.
class TPersistent {
 public:
  TPersistent() = default;
  virtual ~TPersistent() = default;
  TPersistent(const TPersistent&) = delete;
  TPersistent& operator=(const TPersistent&) = delete;

  // Copies the contents of Source into this object. The base version asks Source to assign
  // itself to this object (AssignTo), or fails for a null Source.
  virtual void Assign(const TPersistent* Source);
  virtual const char* ClassName() const { return "TPersistent"; }

 protected:
  // Copies this object into Dest; the base version fails with the assign error.
  virtual void AssignTo(TPersistent* Dest) const;
  // Raises the assign error for Source (which may be null) and this object's class.
  [[noreturn]] void AssignError(const TPersistent* Source) const;
};

struct TDateParts {
  int Year = 0, Month = 0, Day = 0;
};
struct TTimeParts {
  int Hour = 0, Minute = 0, Second = 0, MSec = 0;
};

// Text to value. Leading and trailing blanks are ignored. Each raises engine::EConvertError with
// the matching text of `texts` (quoting the text as given) when the text does not convert.
int32_t StrToInt(const std::string& s);          // decimal, optional sign, 32-bit range
double StrToFloat(const std::string& s);         // [sign]digits[(,|.)digits][(E|e)[sign]digits]
TDateParts StrToDate(const std::string& s);      // dd/mm/yyyy or yyyy-mm-dd, a real calendar day
TTimeParts StrToTime(const std::string& s);      // hh:nn[:ss[.zzz]]
// A date, optionally followed by a blank (or 'T' after an ISO date) and a time; the time of a
// date alone is midnight.
void StrToDateTime(const std::string& s, TDateParts* date, TTimeParts* time);

// Value to text.
std::string FloatToStr(double x);  // general format, 15 significant digits: "12,5", "1E20", "NAN"
std::string DateToStr(const TDateParts& d);                 // dd/mm/yyyy
std::string TimeToStr(const TTimeParts& t);                 // hh:nn:ss, ".zzz" when not zero
std::string DateTimeToStr(const TDateParts& d, const TTimeParts& t);  // date, blank, time

}  // namespace restructure
