#include "kestrix/config.h"

#include <charconv>
#include <memory>
#include <pugixml.hpp>

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

class ConfigNodeImpl : public ConfigNode, public ObjectImpl {
public:
  ConfigNodeImpl(std::shared_ptr<const std::string> source, ConfigNodeImpl* parent, std::string name)
      : source_(std::move(source)), parent_(parent), name_(std::move(name)) {}

  // ConfigNode
  std::string GetName() const override { return name_; }
  std::string GetPath() const override {
    if (!parent_) return std::string();
    std::string p = parent_->GetPath();
    return p.empty() ? name_ : p + "/" + name_;
  }
  bool GetNode(const std::string& path, ConfigNodeRef& node) const override {
    const ConfigNodeImpl* n = Find(path);
    if (!n) return false;
    node = ConfigNodeRef(const_cast<ConfigNodeImpl*>(n));
    return true;
  }
  bool GetString(const std::string& path, std::string& value) const override {
    const ConfigNodeImpl* n = Find(path);
    if (!n) return false;
    value = n->value_;
    return true;
  }
  bool GetInt64(const std::string& path, int64_t& value) const override {
    const ConfigNodeImpl* n = Find(path);
    if (!n) return false;
    const std::string& t = n->value_;
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
    const ConfigNodeImpl* n = Find(path);
    if (!n) return false;
    const std::string& t = n->value_;
    if (t == "true" || t == "1") value = true;
    else if (t == "false" || t == "0") value = false;
    else throw InvalidArgumentException(Describe(*n) + ": '" + t + "' is not a boolean (true, false, 1 or 0)");
    return true;
  }
  bool GetChildNames(const std::string& path, std::vector<std::string>& names) const override {
    const ConfigNodeImpl* n = Find(path);
    if (!n) return false;
    names.clear();
    for (const auto& c : n->children_) names.push_back(c->name_);
    return true;
  }
  void SetString(const std::string& path, const std::string& value) override {
    ConfigNodeImpl* n = this;
    for (const auto& part : SplitPath(path)) {
      ConfigNodeImpl* next = n->Child(part, path);
      if (!next) next = n->AddChild(part);
      n = next;
    }
    n->value_ = value;
  }

  ConfigNodeImpl* AddChild(const std::string& name) {
    children_.push_back(Ref<ConfigNodeImpl>(new ConfigNodeImpl(source_, this, name)));
    return children_.back().Get();
  }
  void SetValue(std::string v) { value_ = std::move(v); }

private:
  std::string Describe(const ConfigNodeImpl& n) const {
    return "configuration " + *source_ + ", key " + n.GetPath();
  }
  // Child returns the one child named name; two of that name make the path ambiguous.
  ConfigNodeImpl* Child(const std::string& name, const std::string& fullPath) const {
    ConfigNodeImpl* found = nullptr;
    for (const auto& c : children_) {
      if (c->name_ != name) continue;
      if (found) {
        std::string here = GetPath();
        throw InvalidArgumentException("configuration " + *source_ + ": key " +
                                       (here.empty() ? fullPath : here + "/" + fullPath) +
                                       " is ambiguous: more than one element named '" + name + "'" +
                                       (here.empty() ? std::string() : " under " + here));
      }
      found = c.Get();
    }
    return found;
  }
  const ConfigNodeImpl* Find(const std::string& path) const {
    const ConfigNodeImpl* n = this;
    for (const auto& part : SplitPath(path)) {
      n = n->Child(part, path);
      if (!n) return nullptr;
    }
    return n;
  }

  const std::shared_ptr<const std::string> source_;
  ConfigNodeImpl* const parent_;  // not counted: the parent owns this node
  const std::string name_;
  std::string value_;
  std::vector<Ref<ConfigNodeImpl>> children_;
};

class ConfigImpl : public Config, public ObjectImpl {
public:
  explicit ConfigImpl(std::string path)
      : path_(std::move(path)),
        root_(new ConfigNodeImpl(std::make_shared<const std::string>(path_.empty() ? "scratch" : path_),
                                 nullptr, std::string())) {}

  // Config
  void Load() override {
    if (path_.empty()) return;
    pugi::xml_document doc;
    pugi::xml_parse_result r = doc.load_file(path_.c_str(), pugi::parse_default, pugi::encoding_auto);
    if (!r) {
      if (r.status == pugi::status_file_not_found || r.status == pugi::status_io_error) {
        throw Exception("configuration " + path_ + ": cannot read the file (" + r.description() + ")");
      }
      throw Exception("configuration " + path_ + ": line " + std::to_string(LineOf(r.offset)) + ": " +
                      r.description());
    }
    pugi::xml_node top = doc.document_element();
    if (!top) throw Exception("configuration " + path_ + ": no root element");
    root_ = Ref<ConfigNodeImpl>(new ConfigNodeImpl(std::make_shared<const std::string>(path_), nullptr, ""));
    Copy(top, *root_);
  }
  ConfigNodeRef GetRoot() const override { return ConfigNodeRef(root_.Get()); }
  bool GetNode(const std::string& path, ConfigNodeRef& node) const override {
    return root_->GetNode(path, node);
  }
  std::string GetSource() const override { return path_.empty() ? "scratch" : path_; }

private:
  static void Copy(const pugi::xml_node& from, ConfigNodeImpl& to) {
    std::string text;
    for (pugi::xml_node c = from.first_child(); c; c = c.next_sibling()) {
      if (c.type() == pugi::node_element) {
        Copy(c, *to.AddChild(c.name()));
      } else if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata) {
        text += c.value();
      }
    }
    to.SetValue(StringUtil::Trim(text));
  }
  size_t LineOf(ptrdiff_t offset) const {
    // pugixml reports a byte offset; count the lines up to it.
    FILE* f = fopen(path_.c_str(), "rb");
    if (!f) return 0;
    size_t line = 1;
    for (ptrdiff_t i = 0; i < offset; ++i) {
      int c = fgetc(f);
      if (c == EOF) break;
      if (c == '\n') ++line;
    }
    fclose(f);
    return line;
  }

  const std::string path_;
  Ref<ConfigNodeImpl> root_;
};

}  // namespace

ConfigRef CreateScratchConfig() { return ConfigRef(new ConfigImpl(std::string())); }

void CreateXmlFileConfig(const std::string& path, int /*reloadSeconds*/, int /*flags*/, ConfigRef& result) {
  result = ConfigRef(new ConfigImpl(path));
}

}  // namespace Service
}  // namespace Kestrix
