#include "ComponentSettings.h"

#include "AdminSupport.h"

#include "registry/RegistryValues.h"

#include <cstdio>

namespace trumik::host {

namespace {

constexpr char16_t kComponentKey[] = u"SOFTWARE\\Trumik\\Component";
constexpr char16_t kAcceptGost2012[] = u"AcceptGost2012";

} // namespace

bool Gost2012SwitchOn()
{
    // On exactly when the component takes it so: a REG_DWORD other than 0.
    return trumik::platform::ReadRegistryDword(HKEY_LOCAL_MACHINE, kComponentKey, kAcceptGost2012)
               .value_or(0) != 0;
}

int Gost2012Command(const std::vector<std::string>& args)
{
    // args[0] is "gost2012".
    if (args.size() > 2)
        return UsageError("provider gost2012 takes at most one of on, off", "provider");
    if (args.size() == 2) {
        const std::string& state = args[1];
        if (state != "on" && state != "off")
            return UsageError("provider gost2012 takes on or off, not \"" + state + "\"", "provider");
        const DWORD value = state == "on" ? 1 : 0;
        if (LSTATUS rc = trumik::platform::WriteRegistryDword(HKEY_LOCAL_MACHINE, kComponentKey,
                                                              kAcceptGost2012, value);
            rc != ERROR_SUCCESS)
            return Report({"cannot store the GOST R 34.10-2012 switch", static_cast<DWORD>(rc)});
        return kExitOk;
    }
    std::printf("%s\n", Gost2012SwitchOn() ? "on" : "off");
    return kExitOk;
}

} // namespace trumik::host
