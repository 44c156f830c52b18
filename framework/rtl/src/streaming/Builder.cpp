// Creating the components of a checked form.
#include "StreamingDetail.h"

namespace rtl::detail {
namespace {

class Builder {
 public:
  explicit Builder(TComponent& root) : root_(root) {}

  // Creates everything; on failure destroys what it created and rethrows.
  void Build(const PlannedObject& rootPlan, TComponent& rootInstance, bool rootCreatedHere) {
    try {
      if (rootCreatedHere) created_.push_back(&rootInstance);
      rootInstance.Loading();
      if (!rootPlan.name.empty()) rootInstance.SetName(rootPlan.name);
      readOrder_.push_back({&rootInstance, &rootPlan});
      Fill(rootPlan, rootInstance);
      for (const auto& entry : readOrder_) {
        TComponent* component = entry.first;
        const PlannedObject* plan = entry.second;
        Guard(plan->line, plan->column, "Loaded of '" + U8(plan->name) + "'",
              [component] { component->Loaded(); });
      }
    } catch (...) {
      for (auto it = created_.rbegin(); it != created_.rend(); ++it) delete *it;
      throw;
    }
  }

 private:
  template <class F>
  static void Guard(int line, int column, const std::string& what, F&& action) {
    try {
      action();
    } catch (const EReadError&) {
      throw;
    } catch (const std::exception& e) {
      throw EReadError(line, column, what + " failed: " + e.what());
    } catch (...) {
      throw EReadError(line, column, what + " failed");
    }
  }

  void Fill(const PlannedObject& plan, TComponent& component) {
    for (const auto& property : plan.properties) {
      TPropValue value = property.value;
      if (property.handler != nullptr) {
        value = TEventValue{true, property.handler->Name, property.handler->Bind(root_)};
      }
      Guard(property.line, property.column, "setting '" + U8(property.info->Name) + "'",
            [&] { property.info->Set(component, value); });
    }
    for (const auto& child : plan.children) {
      TComponent* instance = nullptr;
      Guard(child.line, child.column, "creating a " + U8(child.info->ClassName),
            [&] { instance = child.info->Create(&component); });
      if (instance == nullptr) {
        throw EReadError(child.line, child.column,
                         "creating a " + U8(child.info->ClassName) + " failed");
      }
      created_.push_back(instance);
      instance->Loading();
      instance->SetName(child.name);
      readOrder_.push_back({instance, &child});
      Fill(child, *instance);
    }
  }

  TComponent& root_;
  std::vector<TComponent*> created_;
  std::vector<std::pair<TComponent*, const PlannedObject*>> readOrder_;
};

}  // namespace

void BuildForm(const PlannedObject& plan, TComponent& root, bool rootCreatedHere) {
  Builder(root).Build(plan, root, rootCreatedHere);
}

}  // namespace rtl::detail
