// The Unicode display form of a domain name, for the texts people read.
#pragma once

#include <string>

// The IDNA2003 ToUnicode form of a domain name ("xn--bcher-kva.example"
// becomes "bücher.example"); a name that is no punycode comes back as it is.
// Raises vexception "Unable to convert a whole domain name '%s' into its
// Unicode form for human-readable display using IDNA2003, name of the error
// code: %s." when ICU reports an error (a result beyond 256 UTF-16 units
// included).
std::wstring domainDisplayName(const std::wstring& name);

// As domainDisplayName, but gives the name as stored when it cannot be
// converted: for failure reports, which must not fail themselves.
std::wstring domainDisplayNameOrStored(const std::wstring& name) noexcept;
