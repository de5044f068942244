// StorageException: the failure type of the storage layer. Its text is
// SQLite's error message for the connection that failed, or the engine's own
// message where no SQLite call failed (an unknown engine name, a refused
// series).
#pragma once

#include "kestrix/exception.h"

namespace Tallywick {

/// StorageException is raised by every storage operation that did not complete.
/// The failing operation has already logged its own error line; callers log it
/// again with their context and go on with the next item.
class StorageException : public Kestrix::Exception {
public:
  using Kestrix::Exception::Exception;
};

/// SeriesRefusedException: the engine will not write a series (its table was
/// made by something else). The engine logs the refusal once; it recurs at
/// every store of the series.
class SeriesRefusedException : public StorageException {
public:
  using StorageException::StorageException;
};

}  // namespace Tallywick
