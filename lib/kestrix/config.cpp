#include "kestrix/config.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <mutex>
#include <pugixml.hpp>
#include <shared_mutex>
#include <string_view>
#include <unordered_map>

#include "kestrix/exception.h"
#include "kestrix/stringUtil.h"

namespace Kestrix {
namespace Service {
namespace {

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// Tree is what every node of one configuration shares.
struct Tree {
  explicit Tree(std::string s) : source(std::move(s)) {}
  const std::string source;  // the file path, or "scratch"
  // Lookups may run on any thread (the registry reads its setting on pool
  // threads) while a test or start-up code sets values.
  mutable std::shared_mutex mutex;  // guards every node's value and children
};

class ConfigNodeImpl : public ConfigNode, public ObjectImpl {
public:
  ConfigNodeImpl(std::shared_ptr<Tree> tree, std::string path, std::string name)
      : tree_(std::move(tree)), path_(std::move(path)), name_(std::move(name)) {}

  // ConfigNode
  std::string GetName() const override { return name_; }
  std::string GetPath() const override { return path_; }
  bool GetNode(const std::string& path, ConfigNodeRef& node) const override {
    std::shared_lock<std::shared_mutex> lock(tree_->mutex);
    const ConfigNodeImpl* n = Find(path);
    if (!n) return false;
    node = ConfigNodeRef(const_cast<ConfigNodeImpl*>(n));
    return true;
  }
  bool GetString(const std::string& path, std::string& value) const override {
    return FindValue(path, value) != nullptr;
  }
  bool GetInt64(const std::string& path, int64_t& value) const override {
    std::string t;
    const ConfigNodeImpl* n = FindValue(path, t);
    if (!n) return false;
    int64_t v = 0;
    auto r = std::from_chars(t.data(), t.data() + t.size(), v);
    // from_chars takes an optional '-' and digits only: no '+', no white space.
    if (t.empty() || r.ec != std::errc() || r.ptr != t.data() + t.size()) {
      throw InvalidArgumentException(Describe(*n) + ": " + Quote(t) + " is not a signed 64-bit integer");
    }
    value = v;
    return true;
  }
  bool GetBool(const std::string& path, bool& value) const override {
    std::string t;
    const ConfigNodeImpl* n = FindValue(path, t);
    if (!n) return false;
    if (t == "true" || t == "1") value = true;
    else if (t == "false" || t == "0") value = false;
    else throw InvalidArgumentException(Describe(*n) + ": " + Quote(t) + " is not a boolean (true, false, 1 or 0)");
    return true;
  }
  bool GetChildNames(const std::string& path, std::vector<std::string>& names) const override {
    std::shared_lock<std::shared_mutex> lock(tree_->mutex);
    const ConfigNodeImpl* n = Find(path);
    if (!n) return false;
    names.clear();
    for (const auto& c : n->children_) names.push_back(c->name_);
    return true;
  }
  void SetString(const std::string& path, const std::string& value) override {
    std::unique_lock<std::shared_mutex> lock(tree_->mutex);
    ConfigNodeImpl* n = this;
    for (const auto& part : SplitPath(path)) {
      ConfigNodeImpl* next = n->Child(part, path, *this);
      if (!next) next = n->AddChild(part);
      n = next;
    }
    n->value_ = value;
  }

  // Building, before the tree is shared (no lock needed).
  ConfigNodeImpl* AddChild(const std::string& name) {
    children_.push_back(
        Ref<ConfigNodeImpl>(new ConfigNodeImpl(tree_, path_.empty() ? name : path_ + "/" + name, name)));
    ConfigNodeImpl* child = children_.back().Get();
    auto [it, added] = byName_.try_emplace(name, Named{child, nullptr});
    if (!added && !it->second.second) it->second.second = child;
    return child;
  }
  void SetValue(std::string v) { value_ = std::move(v); }

private:
  // Quote shows a value in a message, cut short when it is long.
  static std::string Quote(const std::string& t) {
    constexpr size_t kShown = 64;
    if (t.size() <= kShown) return "'" + t + "'";
    size_t cut = kShown;
    while (cut > 0 && (static_cast<unsigned char>(t[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
    return "'" + t.substr(0, cut) + "...' (" + std::to_string(t.size()) + " bytes)";
  }
  std::string Describe(const ConfigNodeImpl& n) const {
    return "configuration " + tree_->source + ", key " + n.path_;
  }
  // Child returns the one child named name; two of that name make the path
  // (asked at from) ambiguous.
  ConfigNodeImpl* Child(const std::string& name, const std::string& path, const ConfigNodeImpl& from) const {
    const auto it = byName_.find(name);
    if (it == byName_.end()) return nullptr;
    if (it->second.second) {
      const std::string full = from.path_.empty() ? path : from.path_ + "/" + path;
      throw InvalidArgumentException("configuration " + tree_->source + ": key " + full +
                                     " is ambiguous: more than one element " + it->second.second->path_);
    }
    return it->second.first;
  }
  // FindValue copies the value at path; nullptr when absent. Nodes are never
  // removed, so the result stays valid as long as the tree.
  const ConfigNodeImpl* FindValue(const std::string& path, std::string& value) const {
    std::shared_lock<std::shared_mutex> lock(tree_->mutex);
    const ConfigNodeImpl* n = Find(path);
    if (n) value = n->value_;
    return n;
  }
  // Find walks path segment by segment (empty segments skipped). It runs on
  // every registry retrieval, so it builds no list: the segment goes into a
  // per-thread string that keeps its room.
  const ConfigNodeImpl* Find(const std::string& path) const {
    thread_local std::string part;
    const ConfigNodeImpl* n = this;
    for (size_t start = 0; start <= path.size();) {
      size_t end = path.find('/', start);
      if (end == std::string::npos) end = path.size();
      if (end > start) {
        part.assign(path, start, end - start);
        n = n->Child(part, path, *this);
        if (!n) return nullptr;
      }
      start = end + 1;
    }
    return n;
  }

  const std::shared_ptr<Tree> tree_;
  const std::string path_;  // slash path from the top; "" for the root
  const std::string name_;
  std::string value_;                            // guarded by tree_->mutex
  std::vector<Ref<ConfigNodeImpl>> children_;    // guarded by tree_->mutex
  // Children by name: the first of that name and the second, if any. Keeps
  // lookups constant-time in nodes with very many children.
  using Named = std::pair<ConfigNodeImpl*, ConfigNodeImpl*>;
  std::unordered_map<std::string, Named> byName_;  // guarded by tree_->mutex
};

Ref<ConfigNodeImpl> NewRoot(const std::string& source) {
  return Ref<ConfigNodeImpl>(new ConfigNodeImpl(std::make_shared<Tree>(source), std::string(), std::string()));
}

// LineOf returns the 1-based line of a byte offset into text.
size_t LineOf(const std::string& text, ptrdiff_t offset) {
  size_t line = 1;
  const size_t end = std::min(text.size(), static_cast<size_t>(std::max<ptrdiff_t>(offset, 0)));
  for (size_t i = 0; i < end; ++i) {
    if (text[i] == '\n') ++line;
  }
  return line;
}

// ReadFile reads the whole file; false with the strerror text on failure.
bool ReadFile(const std::string& path, std::string& text, std::string& error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = strerror(errno);
    return false;
  }
  char buf[8192];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      error = strerror(errno);
      ::close(fd);
      return false;
    }
    text.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

// FindBadByte finds the first byte that has no place in a configuration file:
// one that does not start or continue a valid UTF-8 sequence (overlong forms,
// surrogates and code points past U+10FFFF included), or a control character
// other than tab, line feed and carriage return, which XML does not allow.
bool FindBadByte(const std::string& text, size_t& offset, std::string& what) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t size = text.size();
  char hex[8];
  for (size_t i = 0; i < size;) {
    const unsigned char b = p[i];
    if (b < 0x80) {
      if (b < 0x20 && b != '\t' && b != '\n' && b != '\r') {
        snprintf(hex, sizeof hex, "0x%02x", b);
        offset = i;
        what = std::string("control character ") + hex + " is not allowed";
        return true;
      }
      ++i;
      continue;
    }
    const size_t length = StringUtil::Utf8SequenceLength(text, i);
    if (length == 0) {
      snprintf(hex, sizeof hex, "0x%02x", b);
      offset = i;
      what = std::string("byte ") + hex + " is not valid UTF-8 (the file must be UTF-8 text)";
      return true;
    }
    i += length;
  }
  return false;
}

// Elements nest at most this deep (the root element is level 1); a real
// configuration needs a handful of levels, and copying the tree recurses.
constexpr size_t kMaxDepth = 64;

pugi::xml_node ElementFrom(pugi::xml_node n) {
  while (n && n.type() != pugi::node_element) n = n.next_sibling();
  return n;
}

// TooDeep walks the elements below top without recursion and returns the
// first one nested deeper than kMaxDepth, or an empty node.
pugi::xml_node TooDeep(const pugi::xml_node& top) {
  pugi::xml_node n = top;
  size_t depth = 1;
  for (;;) {
    if (const pugi::xml_node child = ElementFrom(n.first_child())) {
      if (++depth > kMaxDepth) return child;
      n = child;
      continue;
    }
    while (n != top) {
      if (const pugi::xml_node sibling = ElementFrom(n.next_sibling())) {
        n = sibling;
        break;
      }
      n = n.parent();
      --depth;
    }
    if (n == top) return pugi::xml_node();
  }
}

void CopyElement(const pugi::xml_node& from, ConfigNodeImpl& to) {
  std::string text;
  for (pugi::xml_node c = from.first_child(); c; c = c.next_sibling()) {
    if (c.type() == pugi::node_element) {
      CopyElement(c, *to.AddChild(c.name()));
    } else if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) {
      text += c.value();
    }
  }
  to.SetValue(StringUtil::Trim(text));
}

class ConfigImpl : public Config, public ObjectImpl {
public:
  // A scratch configuration has no file; Load leaves it as it is.
  ConfigImpl(std::string path, bool scratch)
      : path_(std::move(path)), scratch_(scratch), root_(NewRoot(scratch_ ? "scratch" : path_)) {}

  // Config
  void Load() override {
    if (scratch_) return;
    std::string text, error;
    if (!ReadFile(path_, text, error)) {
      throw Exception("configuration " + path_ + ": cannot read the file: " + error);
    }
    size_t bad = 0;
    if (FindBadByte(text, bad, error)) throw Malformed(text, static_cast<ptrdiff_t>(bad), error);
    pugi::xml_document doc;
    // Comments, processing instructions and the document type are not parsed.
    // Fragment mode keeps text outside the root element, so that it can be
    // refused instead of silently dropped.
    const pugi::xml_parse_result r = doc.load_buffer(text.data(), text.size(),
                                                     pugi::parse_default | pugi::parse_fragment,
                                                     pugi::encoding_utf8);
    if (!r) throw Malformed(text, r.offset, r.description());
    pugi::xml_node top;
    for (pugi::xml_node c = doc.first_child(); c; c = c.next_sibling()) {
      if (c.type() == pugi::node_element) {
        if (top) throw Malformed(text, c.offset_debug(), "more than one root element");
        top = c;
      } else if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) {
        const size_t first = std::string_view(c.value()).find_first_not_of(" \t\r\n");
        if (first != std::string_view::npos) {
          throw Malformed(text, c.offset_debug() + static_cast<ptrdiff_t>(first), "text outside the root element");
        }
      }
    }
    if (!top) throw Malformed(text, static_cast<ptrdiff_t>(text.size()), "no root element");
    if (const pugi::xml_node deep = TooDeep(top)) {
      throw Malformed(text, deep.offset_debug(),
                      "elements nested deeper than " + std::to_string(kMaxDepth) + " levels");
    }
    Ref<ConfigNodeImpl> root = NewRoot(path_);
    CopyElement(top, *root);
    std::lock_guard<std::mutex> lock(mutex_);
    root_ = root;
  }
  ConfigNodeRef GetRoot() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return ConfigNodeRef(root_.Get());
  }
  bool GetNode(const std::string& path, ConfigNodeRef& node) const override {
    return GetRoot()->GetNode(path, node);
  }
  std::string GetSource() const override { return scratch_ ? "scratch" : path_; }

private:
  Exception Malformed(const std::string& text, ptrdiff_t offset, const std::string& what) const {
    return Exception("configuration " + path_ + ": line " + std::to_string(LineOf(text, offset)) + ": " + what);
  }

  const std::string path_;
  const bool scratch_;
  mutable std::mutex mutex_;  // guards root_, replaced by Load
  Ref<ConfigNodeImpl> root_;
};

}  // namespace

ConfigRef CreateScratchConfig() { return ConfigRef(new ConfigImpl(std::string(), true)); }

void CreateXmlFileConfig(const std::string& path, int /*reloadSeconds*/, int /*flags*/, ConfigRef& result) {
  result = ConfigRef(new ConfigImpl(path, false));
}

}  // namespace Service
}  // namespace Kestrix
