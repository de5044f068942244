#include "kestrix/config.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <memory>
#include <mutex>
#include <pugixml.hpp>
#include <shared_mutex>
#include <string_view>

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
      throw InvalidArgumentException(Describe(*n) + ": '" + t + "' is not a signed 64-bit integer");
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
    else throw InvalidArgumentException(Describe(*n) + ": '" + t + "' is not a boolean (true, false, 1 or 0)");
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
    return children_.back().Get();
  }
  void SetValue(std::string v) { value_ = std::move(v); }

private:
  std::string Describe(const ConfigNodeImpl& n) const {
    return "configuration " + tree_->source + ", key " + n.path_;
  }
  // Child returns the one child named name; two of that name make the path
  // (asked at from) ambiguous.
  ConfigNodeImpl* Child(const std::string& name, const std::string& path, const ConfigNodeImpl& from) const {
    ConfigNodeImpl* found = nullptr;
    for (const auto& c : children_) {
      if (c->name_ != name) continue;
      if (found) {
        const std::string full = from.path_.empty() ? path : from.path_ + "/" + path;
        throw InvalidArgumentException("configuration " + tree_->source + ": key " + full +
                                       " is ambiguous: more than one element " + c->path_);
      }
      found = c.Get();
    }
    return found;
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
    pugi::xml_document doc;
    // Comments, processing instructions and the document type are not parsed.
    // Fragment mode keeps text outside the root element, so that it can be
    // refused instead of silently dropped.
    const pugi::xml_parse_result r = doc.load_buffer(text.data(), text.size(),
                                                     pugi::parse_default | pugi::parse_fragment,
                                                     pugi::encoding_auto);
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
