// Reading form files: parse, check, then create (StreamingDetail.h).
#include <memory>

#include "StreamingDetail.h"

namespace rtl {

using detail::U8;

EReadError::EReadError(int line, int column, const std::string& reason)
    : std::runtime_error("line " + std::to_string(line) + ", column " + std::to_string(column) +
                         ": " + reason),
      line_(line),
      column_(column),
      reason_(reason) {}

void ReadComponent(std::string_view text, TComponent& root, const TReadOptions& options) {
  const TClassInfo* rootInfo = options.RootClass != nullptr ? options.RootClass : ClassInfoOf(root);
  if (rootInfo == nullptr) {
    throw EReadError(1, 1, "class '" + U8(root.ClassName()) + "' of the root is not registered");
  }
  const detail::FormObject tree = detail::ParseForm(text, options.MaxDepth);
  detail::BuildForm(detail::PlanForm(tree, *rootInfo, options), root, false);
}

TComponent* ReadComponent(std::string_view text, TComponent* owner, const TReadOptions& options) {
  const detail::FormObject tree = detail::ParseForm(text, options.MaxDepth);
  const TClassInfo& rootInfo = detail::CreatableClass(
      options.RootClass != nullptr ? options.RootClass : FindClass(tree.className), tree);
  const detail::PlannedObject plan = detail::PlanForm(tree, rootInfo, options);
  std::unique_ptr<TComponent> root;
  try {
    root.reset(rootInfo.Create(owner));
  } catch (const std::exception& e) {
    throw EReadError(tree.line, tree.column,
                     "creating a " + U8(rootInfo.ClassName) + " failed: " + e.what());
  }
  if (!root)
    throw EReadError(tree.line, tree.column, "creating a " + U8(rootInfo.ClassName) + " failed");
  TComponent* instance = root.release();
  detail::BuildForm(plan, *instance, true);  // destroys the root itself on failure
  return instance;
}

}  // namespace rtl
