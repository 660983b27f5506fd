// Engine errors. Everything below the table layer reports failure by throwing EngineError: a
// result code (the engine's codes, below), the message, and context lines that say on which
// table, file, field or row it happened. The engine calls (bde.h) turn it into a result code;
// the table layer and Check() turn result codes back into EDBEngineError for callers.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace engine {

using DBIResult = uint16_t;

// Result codes, grouped by category as the host application's engine groups them.
namespace err {
constexpr DBIResult kNone = 0;
constexpr DBIResult kBaseSystem = 0x2100;
constexpr DBIResult kBaseNotFound = 0x2200;
constexpr DBIResult kBaseDataCorrupt = 0x2300;
constexpr DBIResult kBaseIO = 0x2400;
constexpr DBIResult kBaseLimit = 0x2500;
constexpr DBIResult kBaseIntegrity = 0x2600;
constexpr DBIResult kBaseInvalidReq = 0x2700;
constexpr DBIResult kBaseLockConflict = 0x2800;
constexpr DBIResult kBaseSecurity = 0x2900;
constexpr DBIResult kBaseCapability = 0x2B00;
constexpr DBIResult kBaseOther = 0x2E00;

constexpr DBIResult kNoSuchTable = kBaseNotFound + 0x29;     // table file missing
constexpr DBIResult kNoSuchFile = kBaseNotFound + 0x2A;      // companion file missing
constexpr DBIResult kNoSuchIndex = kBaseNotFound + 0x0D;     // unknown tag
constexpr DBIResult kNoSuchFolder = kBaseNotFound + 0x2B;    // database folder missing
constexpr DBIResult kEndOfTable = kBaseNotFound + 0x02;
constexpr DBIResult kHeaderCorrupt = kBaseDataCorrupt + 0x02;
constexpr DBIResult kFileCorrupt = kBaseDataCorrupt + 0x01;
constexpr DBIResult kBlobCorrupt = kBaseDataCorrupt + 0x08;
constexpr DBIResult kIndexCorrupt = kBaseDataCorrupt + 0x03;
constexpr DBIResult kOsError = kBaseIO + 0x01;               // read, write, sync, rename failed
constexpr DBIResult kTableFull = kBaseLimit + 0x01;
constexpr DBIResult kRecordTooBig = kBaseLimit + 0x0D;
constexpr DBIResult kKeyViolation = kBaseIntegrity + 0x01;
constexpr DBIResult kValueOutOfRange = kBaseIntegrity + 0x0B; // value does not fit a field
constexpr DBIResult kInvalidParam = kBaseInvalidReq + 0x02;
constexpr DBIResult kInvalidHandle = kBaseInvalidReq + 0x06;
constexpr DBIResult kInvalidFieldName = kBaseInvalidReq + 0x28;
constexpr DBIResult kInvalidFieldType = kBaseInvalidReq + 0x2B;
constexpr DBIResult kInvalidFieldSize = kBaseInvalidReq + 0x2C;
constexpr DBIResult kDuplicateFieldName = kBaseInvalidReq + 0x2D;
constexpr DBIResult kInvalidRestructure = kBaseInvalidReq + 0x31;
constexpr DBIResult kTableOpen = kBaseInvalidReq + 0x1E;      // operation needs a closed table
constexpr DBIResult kInvalidExpression = kBaseInvalidReq + 0x58;
constexpr DBIResult kTableInUse = kBaseLockConflict + 0x01;   // held open by someone else
constexpr DBIResult kEncrypted = kBaseSecurity + 0x01;
constexpr DBIResult kNotSupported = kBaseCapability + 0x01;   // format or feature we refuse
constexpr DBIResult kConversion = kBaseOther + 0x10;          // value does not convert
constexpr DBIResult kInternal = kBaseSystem + 0x01;
}  // namespace err

class EngineError : public std::runtime_error {
 public:
  EngineError(DBIResult code, std::string message, std::vector<std::string> context = {});
  DBIResult code() const { return code_; }
  const std::string& message() const { return message_; }
  const std::vector<std::string>& context() const { return context_; }
  // Adds a context line ("Tabla: ...") unless an equal line is there already; returns *this so
  // that handlers can rethrow with `throw e.With(...)`.
  EngineError& With(const std::string& line);

 private:
  static std::string Compose(const std::string& message, const std::vector<std::string>& context);
  DBIResult code_;
  std::string message_;
  std::vector<std::string> context_;
  std::string what_;
 public:
  const char* what() const noexcept override { return what_.c_str(); }
};

// An operating-system failure on a file: the message names the operation, the file and the
// system's reason.
class IoError : public EngineError {
 public:
  IoError(const std::string& operation, const std::string& path, int errnum);
  IoError(const std::string& message, const std::string& path);
};

// Context line helpers, so that every message words them alike.
std::string CtxTable(const std::string& path);   // "Tabla: <path>"
std::string CtxFile(const std::string& path);    // "Fichero: <path>"
std::string CtxFolder(const std::string& path);  // "Carpeta: <path>"
std::string CtxField(const std::string& name);   // "Campo: <name>"
std::string CtxRecord(uint64_t recno);           // "Registro: <n>"
std::string CtxIndex(const std::string& tag);    // "Índice: <tag>"

}  // namespace engine
