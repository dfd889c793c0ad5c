// IDispatch for Veltrane's dual interfaces. Every object of the library derives its automation
// interfaces through veltrane::Dispatch<Itf>:
//   class Foo final : public common::ComObject<Foo, veltrane::Dispatch<IOPCGroup>, ...>
// so that the type information (and the member-name cache) lives in one place.
#pragma once

#include "OPCAutomation.h"
#include "common/Dispatch.h"

namespace veltrane {

// For now the kit's dispatch over the OPCAutomation library, version 1.0.
template <class Itf>
using Dispatch = common::DispatchImpl<Itf, &LIBID_OPCAutomation, 1, 0>;

}  // namespace veltrane
