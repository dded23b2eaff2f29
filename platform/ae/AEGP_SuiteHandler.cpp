#include "AEGP_SuiteHandler.h"

#include <initializer_list>

AEGP_SuiteHandler::AEGP_SuiteHandler(const SPBasicSuite* pica_basicP) : basic_(pica_basicP) {}

AEGP_SuiteHandler::~AEGP_SuiteHandler() {
    if (!basic_ || !basic_->ReleaseSuite) return;
    for (Slot* slot : {&ansi_, &handle_, &world_, &pixelFormat_, &app_})
        if (slot->suite) basic_->ReleaseSuite(slot->name, slot->version);
}

void AEGP_SuiteHandler::MissingSuiteError() { throw static_cast<PF_Err>(PF_Err_BAD_CALLBACK_PARAM); }

const void* AEGP_SuiteHandler::load(Slot& slot) const {
    if (slot.suite) return slot.suite;
    const void* suite = nullptr;
    if (!basic_ || !basic_->AcquireSuite || basic_->AcquireSuite(slot.name, slot.version, &suite) != 0 ||
        !suite)
        MissingSuiteError();
    slot.suite = suite;
    return suite;
}

const PF_ANSICallbacksSuite1* AEGP_SuiteHandler::ANSICallbacksSuite1() const {
    return static_cast<const PF_ANSICallbacksSuite1*>(load(ansi_));
}
const PF_HandleSuite2* AEGP_SuiteHandler::HandleSuite2() const {
    return static_cast<const PF_HandleSuite2*>(load(handle_));
}
const PF_WorldSuite2* AEGP_SuiteHandler::WorldSuite2() const {
    return static_cast<const PF_WorldSuite2*>(load(world_));
}
const PF_PixelFormatSuite1* AEGP_SuiteHandler::PixelFormatSuite1() const {
    return static_cast<const PF_PixelFormatSuite1*>(load(pixelFormat_));
}
const PF_AppSuite6* AEGP_SuiteHandler::AppSuite6() const {
    return static_cast<const PF_AppSuite6*>(load(app_));
}
