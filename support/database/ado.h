// Thin wrappers in the manner of ADO's Connection and Recordset, for SQL
// Server. They run over ODBC: unixODBC with the FreeTDS driver (Debian's
// tdsodbc). The ADO connection string is translated as
// ado_connection_string.h describes.
//
// Settings of the configuration key:
//   "ADOConnectionTimeout"  DWORD, the login time-out in seconds (60 when
//                           absent, never below 60)
//   "MSSQLODBCDriver"       string, the ODBC driver library (default
//                           /usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so)
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// ADO's constants for the values the wrappers understand.
enum AdoCursorType : int { adOpenForwardOnly = 0, adOpenKeyset = 1, adOpenDynamic = 2, adOpenStatic = 3 };
enum AdoLockType : int { adLockReadOnly = 1, adLockPessimistic = 2, adLockOptimistic = 3 };
enum AdoCommandType : long { adCmdText = 1, adCmdTable = 2, adCmdStoredProc = 4, adCmdUnknown = 8 };
enum AdoConnectMode : int { adModeRead = 1, adModeWrite = 2, adModeReadWrite = 3 };

inline constexpr const wchar_t* kDefaultOdbcDriver = L"/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so";

class VADOConnection {
 public:
  VADOConnection();
  ~VADOConnection();
  VADOConnection(const VADOConnection&) = delete;
  VADOConnection& operator=(const VADOConnection&) = delete;

  // Opens the connection. `options` is accepted for ADO's signature and not
  // used; `mode` adModeRead makes the connection read-only. A time-out that
  // cannot be set is logged at Warning ("Set ADOConnectionTimeout
  // parameter", function VADOConnection::open) and the open goes on.
  // Failures raise "Unable to connect to SQL Server " + server + ": " + the
  // driver's diagnostics, function VADOConnection::open; the password never
  // appears in it.
  void open(const std::wstring& connectionString, const std::wstring& user, const std::wstring& password, long options = -1,
            int mode = adModeReadWrite);
  void close() noexcept;
  bool isOpen() const;
  // The login time-out the driver manager holds, in seconds (after open,
  // whether or not it succeeded); 0 before.
  unsigned loginTimeout() const;

 private:
  friend class VADORecordSet;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Reading an open record set; the seam at which a test holds a double.
class IADORecordSet {
 public:
  virtual ~IADORecordSet() = default;
  // No current row: the set was empty or moveNext went past the last row.
  virtual bool eof() const = 0;
  // A field of the current row by name; std::nullopt for NULL. A field the
  // set does not have, or no current row, raises.
  virtual std::optional<std::wstring> text(const std::wstring& field) const = 0;
  // As text, converted to a 32-bit integer; a value that is no integer in
  // that range raises.
  virtual std::optional<int32_t> integer(const std::wstring& field) const = 0;
  virtual void moveNext() = 0;
  virtual void close() noexcept = 0;
};

class VADORecordSet final : public IADORecordSet {
 public:
  VADORecordSet();
  ~VADORecordSet() override;
  VADORecordSet(const VADORecordSet&) = delete;
  VADORecordSet& operator=(const VADORecordSet&) = delete;

  // Logs "ADO open recordset: %s" and runs `source` on the connection
  // (adCmdStoredProc calls it as a procedure, anything else runs it as
  // text); the first result with columns becomes the set, positioned on its
  // first row. Failures raise with function VADORecordSet::open and the
  // driver's diagnostics.
  void open(const std::wstring& source, VADOConnection& connection, int cursorType = adOpenForwardOnly, int lockType = adLockReadOnly,
            long options = adCmdUnknown);

  bool eof() const override;
  std::optional<std::wstring> text(const std::wstring& field) const override;
  std::optional<int32_t> integer(const std::wstring& field) const override;
  void moveNext() override;
  void close() noexcept override;

  int fieldCount() const;
  std::wstring fieldName(int index) const;
  // The field's index, or -1.
  int fieldIndex(const std::wstring& name) const;
  std::optional<std::wstring> text(int index) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A field value as a 32-bit integer (blanks around it allowed); raises
// "Field " + name + " is not an integer: " + value otherwise.
int32_t adoIntegerValue(const std::wstring& name, const std::wstring& value);
