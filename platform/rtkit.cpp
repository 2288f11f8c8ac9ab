// rtkit.cpp - the RealtimeKit client: two property reads and one method call on the system
// bus (DBUS_SYSTEM_BUS_ADDRESS names another bus, as for the tests), through libdbus on a
// private connection that is closed again, so nothing of it stays in the process.
#include "platform/rtkit.h"

#include <dbus/dbus.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

namespace {

const char* const Service = "org.freedesktop.RealtimeKit1";
const char* const ObjectPath = "/org/freedesktop/RealtimeKit1";
// The system bus's well-known address, where DBUS_SYSTEM_BUS_ADDRESS names no other.
const char* const SystemBusAddress = "unix:path=/var/run/dbus/system_bus_socket";
constexpr int CallTimeoutMs = 1000;

// Reads an integer property of the service (it sends int32 or int64 in a variant).
bool ReadProperty(DBusConnection* bus, const char* name, int64_t* value, DBusError* error) {
    DBusMessage* call =
        dbus_message_new_method_call(Service, ObjectPath, "org.freedesktop.DBus.Properties", "Get");
    if (call == nullptr) return false;
    const char* interface = Service;
    dbus_message_append_args(call, DBUS_TYPE_STRING, &interface, DBUS_TYPE_STRING, &name,
                             DBUS_TYPE_INVALID);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, CallTimeoutMs, error);
    dbus_message_unref(call);
    if (reply == nullptr) return false;
    DBusMessageIter it, variant;
    bool ok = dbus_message_iter_init(reply, &it) &&
              dbus_message_iter_get_arg_type(&it) == DBUS_TYPE_VARIANT;
    if (ok) {
        dbus_message_iter_recurse(&it, &variant);
        int type = dbus_message_iter_get_arg_type(&variant);
        if (type == DBUS_TYPE_INT32) {
            dbus_int32_t v = 0;
            dbus_message_iter_get_basic(&variant, &v);
            *value = v;
        } else if (type == DBUS_TYPE_INT64) {
            dbus_int64_t v = 0;
            dbus_message_iter_get_basic(&variant, &v);
            *value = v;
        } else {
            ok = false;
        }
    }
    dbus_message_unref(reply);
    if (!ok) dbus_set_error(error, DBUS_ERROR_INVALID_SIGNATURE, "%s is not an integer", name);
    return ok;
}

// RLIMIT_RTTIME no higher than bound microseconds (soft and hard limit alike).
bool BoundRealtimeRun(int64_t bound) {
    rlimit limit{};
    if (getrlimit(RLIMIT_RTTIME, &limit) != 0) return false;
    rlim_t most = rlim_t(std::max<int64_t>(bound, 1));
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= most) return true;
    limit.rlim_cur = limit.rlim_max = most;
    return setrlimit(RLIMIT_RTTIME, &limit) == 0;
}

bool Ask(DBusConnection* bus, pid_t tid, int priority, DBusError* error) {
    int64_t most = 0, runBound = 0;
    if (!ReadProperty(bus, "MaxRealtimePriority", &most, error) ||
        !ReadProperty(bus, "RTTimeUSecMax", &runBound, error))
        return false;
    if (most < 1) {
        dbus_set_error(error, DBUS_ERROR_ACCESS_DENIED, "the service grants no priority");
        return false;
    }
    if (!BoundRealtimeRun(runBound)) {
        dbus_set_error(error, DBUS_ERROR_LIMITS_EXCEEDED, "RLIMIT_RTTIME cannot be set");
        return false;
    }
    DBusMessage* call =
        dbus_message_new_method_call(Service, ObjectPath, Service, "MakeThreadRealtime");
    if (call == nullptr) return false;
    dbus_uint64_t thread = dbus_uint64_t(tid);
    dbus_uint32_t granted = dbus_uint32_t(std::clamp<int64_t>(priority, 1, most));
    dbus_message_append_args(call, DBUS_TYPE_UINT64, &thread, DBUS_TYPE_UINT32, &granted,
                             DBUS_TYPE_INVALID);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, CallTimeoutMs, error);
    dbus_message_unref(call);
    if (reply == nullptr) return false;
    dbus_message_unref(reply);
    return true;
}

}  // namespace

void RtkitUse() {
    ThreadRealtimeGrant = RtkitMakeThreadRealtime;
}

bool RtkitMakeThreadRealtime(pid_t tid, int priority, std::string* why) {
    DBusError error;
    dbus_error_init(&error);
    // The variable is read at every call (libdbus would read it only once per process).
    const char* address = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    DBusConnection* bus =
        dbus_connection_open_private(address ? address : SystemBusAddress, &error);
    if (bus != nullptr && !dbus_bus_register(bus, &error)) {
        dbus_connection_close(bus);
        dbus_connection_unref(bus);
        bus = nullptr;
    }
    bool ok = false;
    if (bus != nullptr) {
        dbus_connection_set_exit_on_disconnect(bus, FALSE);
        ok = Ask(bus, tid, priority, &error);
        dbus_connection_close(bus);
        dbus_connection_unref(bus);
    }
    if (!ok) *why = dbus_error_is_set(&error) ? error.message : "out of memory";
    dbus_error_free(&error);
    return ok;
}
