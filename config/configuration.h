// Loading the configuration document into the domain model.
#pragma once

#include <string>

#include "config/domain.h"

// Reads the document at `path` into the model (domains, aliases, log rotation
// settings, FTP users and addresses, databases, mailboxes, parameters).
// The document is read element by element, never held whole. Errors of
// loading raise vexception and leave the model as it was; a reference to an
// unknown domain is only logged as a Warning.
void loadConfiguration(DomainModel& model, const std::wstring& path);

// Attribute readers of the document: a boolean is true when its first four
// characters are "true" ignoring case; an integer reads optional blanks and
// sign, then digits up to the first other character (none gives 0).
bool readBoolean(const std::wstring& value);
int32_t readInteger(const std::wstring& value);
