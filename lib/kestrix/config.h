// Configuration: a tree of named nodes, each with a text value, read from one
// XML file or built in memory (scratch configuration).
//
// XML mapping: the document's root element (its name is not checked) holds the
// top-level nodes; every element is a node whose value is its text trimmed of
// surrounding white space; attributes, comments and processing instructions are
// ignored. Paths are slash-separated child names ("persistence/statTtlSec").
// The file is UTF-8 text: Load refuses invalid UTF-8, control characters other
// than tab and line ends, and elements nested more than 64 levels deep, naming
// the line.
//
// Every lookup reports found (true) or not found (false). A value that exists
// but does not parse as the asked type raises `InvalidArgumentException` naming
// the file, the key path and the text, shortened when long (no lenient conversion: "5s" is an error,
// not 5); a path that passes through two sibling elements of the same name
// raises `InvalidArgumentException` naming the path. Relative file paths in
// values are the caller's to resolve (the service takes them relative to its
// working directory). Lookups and SetString are thread safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kestrix/object.h"

namespace Kestrix {
namespace Service {

class ConfigNode;
using ConfigNodeRef = Ref<ConfigNode>;

/// ConfigNode is one node of the tree.
class ConfigNode : public virtual Object {
public:
  /// GetName returns the node's own name.
  virtual std::string GetName() const = 0;
  /// GetPath returns the node's slash path from the top ("" for the root).
  virtual std::string GetPath() const = 0;
  /// GetNode finds the node at path below this one.
  virtual bool GetNode(const std::string& path, ConfigNodeRef& node) const = 0;
  /// GetString reads the value at path ("" is this node).
  virtual bool GetString(const std::string& path, std::string& value) const = 0;
  /// GetInt64 reads an optional '-' and decimal digits, within signed 64 bits.
  virtual bool GetInt64(const std::string& path, int64_t& value) const = 0;
  /// GetBool reads exactly "true", "false", "1" or "0".
  virtual bool GetBool(const std::string& path, bool& value) const = 0;
  /// GetChildNames lists the child names in document order; false when path is absent.
  virtual bool GetChildNames(const std::string& path, std::vector<std::string>& names) const = 0;
  /// SetString sets the value at path, creating the nodes on the way.
  virtual void SetString(const std::string& path, const std::string& value) = 0;
};

/// Config is a whole configuration.
class Config : public virtual Object {
public:
  /// Load readies the configuration for lookups (reads and parses the file;
  /// nothing for a scratch configuration). Raises `Kestrix::Exception` naming
  /// the file and the system error when it cannot be read, or the file, the
  /// line and the parser's text when it is not well-formed XML.
  virtual void Load() = 0;
  /// GetRoot returns the node that holds the top-level nodes.
  virtual ConfigNodeRef GetRoot() const = 0;
  /// GetNode finds a top-level node (or a slash path from the top).
  virtual bool GetNode(const std::string& path, ConfigNodeRef& node) const = 0;
  /// GetSource names where the values came from (the file path, or "scratch").
  virtual std::string GetSource() const = 0;
};
using ConfigRef = Ref<Config>;

/// CreateScratchConfig returns an empty in-memory configuration.
ConfigRef CreateScratchConfig();

/// CreateXmlFileConfig makes a configuration for the XML file at path (any
/// path, "" included, names a file); nothing is read until `Load`. reloadSeconds (-1: never) and flags (0) are accepted
/// for compatibility and have no other effect.
void CreateXmlFileConfig(const std::string& path, int reloadSeconds, int flags, ConfigRef& result);

}  // namespace Service
}  // namespace Kestrix
