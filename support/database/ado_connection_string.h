// The translation of an ADO (OLE DB) connection string for SQL Server into
// the connection string of the FreeTDS ODBC driver.
//
// Mapping (keys of the ADO string are matched ignoring case):
//   Provider=SQLOLEDB[.n] | SQLNCLI[n] | MSOLEDBSQL  accepted (or absent);
//                                      any other provider is refused
//   Initial Catalog=X | Database=X      DATABASE=X
//   Data Source=X | Server=X | Address=X | Addr=X | Network Address=X:
//     "host"                            SERVER=host;PORT=1433
//     "host,port"                       SERVER=host;PORT=port
//     "host\instance"                   SERVER=host\instance (the port comes
//                                       from the server's browser service)
//     "host\instance,port"              SERVER=host;PORT=port
//     "tcp:" before any of these        dropped
//     "(local)" or "." as the host      127.0.0.1
//   User ID=X | UID=X, Password=X | PWD=X  UID, PWD; the user and password
//                                       given beside the string win when
//                                       not empty
//   any other key                       ignored
// Always added: DRIVER=<driver library>, TDS_Version=7.4, ClientCharset=UTF-8.
// A value holding ";", "{", "}", "=" or outer blanks is written in braces
// with "}" doubled, as ODBC connection strings escape values.
#pragma once

#include <string>

namespace ado {

struct OdbcConnectionString {
  std::string text;        // for the driver manager (UTF-8)
  std::wstring server;     // SERVER, for messages
  std::wstring password;   // for masking the driver's messages
};

// Raises "Invalid connection string: " + the reason (never the password) in
// function VADOConnection::open.
OdbcConnectionString toOdbcConnectionString(const std::wstring& adoConnectionString, const std::wstring& user, const std::wstring& password,
                                            const std::wstring& driverPath);

// ODBC value escaping (see above).
std::wstring odbcValue(const std::wstring& value);

}  // namespace ado
