// PrepayEnabledFlipJob: switches prepay off on one meter through its mediator.
#include "records.hpp"
#include "jobs.hpp"

#include <array>

namespace pef {

namespace {

// A parameter annotated `dict` or `str` takes exactly that type.
bool check_exact(PyObject* value, PyTypeObject* expected, const char* param)
{
    if (Py_IS_TYPE(value, expected)) {
        return true;
    }
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected->tp_name, Py_TYPE(value)->tp_name);
    return false;
}

// def __init__(self, *, meter: "Dict[str, Any]", mediator_address: "str",
//              supabase: "SupabaseClient"):
//     self.meter = meter
//     self.mediator_address = mediator_address
//     self.supabase = supabase
//     self.ortane_client = OrtaneMediatorClient(mediator_address=mediator_address,
//                                               meter_id=meter["meter_id"])
//     self.log = logger.bind(serial=meter["serial"], meter_id=meter["meter_id"],
//                            mediator_address=mediator_address)
PyObject* init(const Frame& f, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* meter = args[1];
    PyObject* mediator_address = args[2];
    PyObject* supabase = args[3];
    if (!check_exact(meter, &PyDict_Type, "meter") ||
        !check_exact(mediator_address, &PyUnicode_Type, "mediator_address")) {
        return f.fail();
    }
    if (setattr(self, f.n.meter, meter) < 0 ||
        setattr(self, f.n.mediator_address, mediator_address) < 0 ||
        setattr(self, f.n.supabase, supabase) < 0) {
        return f.fail();
    }

    Ref client_class = f.global(f.n.OrtaneMediatorClient);
    Ref meter_id = client_class ? getitem(meter, f.n.meter_id) : Ref();
    Ref client = meter_id ? call_kw(client_class.get(), f.n.kw_mediator_client, mediator_address,
                                    meter_id.get())
                          : Ref();
    if (!client || setattr(self, f.n.ortane_client, client.get()) < 0) {
        return f.fail();
    }

    Ref logger = f.global(f.n.logger);
    Ref bind = logger ? getattr(logger.get(), f.n.bind) : Ref();
    Ref serial = bind ? getitem(meter, f.n.serial) : Ref();
    Ref meter_id_again = serial ? getitem(meter, f.n.meter_id) : Ref();
    Ref log = meter_id_again ? call_kw(bind.get(), f.n.kw_meter_context, serial.get(),
                                       meter_id_again.get(), mediator_address)
                             : Ref();
    if (!log || setattr(self, f.n.log, log.get()) < 0) {
        return f.fail();
    }
    Py_RETURN_NONE;
}

// def update(self) -> "bool":
//     try:
//         self.ortane_client.prepay_enabled_write(False)
//         self.log.info("prepay disabled")
//         return True
//     except MediatorClientException as e:
//         self.log.error("Mediator client failure", error=e,
//                        exception=traceback.format_exception(e))
//         return False
//     except Exception as e:
//         self.log.error("Unknown failure during prepay_enabled flag disable", error=e,
//                        exception=traceback.format_exception(e))
//         return False
PyObject* update(const Frame& f, PyObject* const* args)
{
    PyObject* self = args[0];
    if (call_on_attr(self, f.n.ortane_client, f.n.prepay_enabled_write, Py_False) == 0 &&
        call_on_attr(self, f.n.log, f.n.info, f.n.msg_prepay_disabled) == 0) {
        Py_RETURN_TRUE;
    }

    Ref exc = f.caught();
    Handling handling(exc.get());
    Ref client_exception = f.global(f.n.MediatorClientException);
    if (!client_exception) {
        return f.fail();
    }
    const int is_client_failure = exception_matches(exc.get(), client_exception.get());
    if (is_client_failure < 0) {
        return f.fail();
    }
    PyObject* message = f.n.msg_mediator_failure;
    if (!is_client_failure) {
        if (!PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception)) {
            PyErr_SetRaisedException(exc.release());
            return f.fail();
        }
        message = f.n.msg_unknown_failure;
    }
    if (log_failure(f, self, message, exc.get()) < 0) {
        return f.fail();
    }
    Py_RETURN_FALSE;
}

constexpr std::array<const char*, 4> init_params{"self", "meter", "mediator_address", "supabase"};
constexpr std::array<Annotation, 3> init_annotations{{
    {"meter", "Dict[str, Any]"},
    {"mediator_address", "str"},
    {"supabase", "SupabaseClient"},
}};
constexpr std::array<const char*, 1> self_only{"self"};
constexpr std::array<Annotation, 1> returns_bool{{{"return", "bool"}}};

constexpr const char* update_doc =
    "\n"
    "        Update the prepay_enabled flag on the meter.\n"
    "        Returns True if successful, False if failed.\n"
    "        ";

constexpr std::array<MethodSpec, 2> methods{{
    {"__init__", nullptr, init_params, 1, 0, init_annotations, init},
    {"update", update_doc, self_only, 1, 0, returns_bool, update},
}};

}  // namespace

std::span<const MethodSpec> flip_job_methods() { return methods; }

}  // namespace pef
