// Common part of the kytrix PMU script methods: the argument count check, finding the board's
// controller by USB serial number (always interface 0, the board's serial channel), and
// handing the board's JSON results to the script as plain values.
#ifndef KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_CALL_H
#define KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_CALL_H

#include <memory>
#include <string>

#include <nlohmann/json.hpp>
#include <v8.h>

#include "devices/pmu/kyt_controller_manager.h"
#include "javascript/js_base.h"

namespace tyr::nodejs {

class KytrixPmuCall : public JsBase {
 public:
  KytrixPmuCall(std::string name, v8::Isolate* isolate, std::shared_ptr<pmu::KytControllerManager> manager,
                int argumentCount);
  ~KytrixPmuCall() override;

 protected:
  // Checks the argument count, then runs Work; a JSON library error that escapes it becomes a
  // plain text about the board's answer.
  void RunInternal(const v8::FunctionCallbackInfo<v8::Value>& info) final;
  virtual void Work(const v8::FunctionCallbackInfo<v8::Value>& info) = 0;

  // The controller open for (serial, interface 0); "PPC is not initialized" when there is none.
  std::shared_ptr<pmu::KytController> FindController(const std::string& serial);
  // A Number argument whose whole part lies in 0..max (a field of the board's protocol); anything
  // else is refused naming the argument, never cut to fit.
  uint32_t ParseJsArgUpTo(v8::Local<v8::Value> value, const std::string& n, uint32_t max);
  // Sets the call's result to the script value of the JSON document.
  void ReturnJson(const v8::FunctionCallbackInfo<v8::Value>& info, const nlohmann::json& value);

  std::shared_ptr<pmu::KytControllerManager> manager;

 private:
  int argumentCount;
};

}  // namespace tyr::nodejs

// Declares one PMU method class: constructor (manager, isolate) and its Work.
#define KYTRIX_PMU_METHOD_CLASS(Class)                                                                     \
  namespace tyr::nodejs {                                                                                  \
  class Class : public KytrixPmuCall {                                                                     \
   public:                                                                                                 \
    Class(std::shared_ptr<pmu::KytControllerManager> manager, v8::Isolate* isolate);                       \
    ~Class() override;                                                                                     \
                                                                                                           \
   protected:                                                                                              \
    void Work(const v8::FunctionCallbackInfo<v8::Value>& info) override;                                   \
  };                                                                                                       \
  }

// Defines the constructor and destructor of one PMU method class.
#define KYTRIX_PMU_METHOD_SETUP(Class, callName, argumentCount)                                              \
  Class::Class(std::shared_ptr<pmu::KytControllerManager> manager, v8::Isolate* isolate)                    \
      : KytrixPmuCall(callName, isolate, std::move(manager), argumentCount) {}                              \
  Class::~Class() = default;

#endif  // KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_CALL_H
