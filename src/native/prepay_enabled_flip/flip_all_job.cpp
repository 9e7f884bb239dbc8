// PrepayEnabledFlipAllJob: selects the configured meters and flips each on a
// pool of five workers.
#include "records.hpp"
#include "jobs.hpp"

#include <array>

namespace pef {

namespace {

// self.log.<level>(message)
int log_message(const Frame& f, PyObject* self, PyObject* level, PyObject* message)
{
    return call_on_attr(self, f.n.log, level, message);
}

// self.log.error(message); sys.exit(status)
int fail_with_status(const Frame& f, PyObject* self, PyObject* message, long status)
{
    if (log_message(f, self, f.n.error, message) < 0) {
        return -1;
    }
    Ref sys = f.global(f.n.sys);
    Ref code = sys ? Ref::steal(PyLong_FromLong(status)) : Ref();
    return code && call_method(sys.get(), f.n.exit, code.get()) ? 0 : -1;
}

// def __init__(self, esco=None):
//     self.log = logger.bind(esco=esco)
//     self._check_environment()
//     self.esco = esco
//     self.containers = get_instance(esco=esco)
//     self.tramu_supabase = supa_client(supabase_url, supabase_key, tramu_role_key)
PyObject* init(const Frame& f, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* esco = args[1];

    Ref logger = f.global(f.n.logger);
    Ref log = logger ? call_method_kw(logger.get(), f.n.bind, f.n.kw_esco, esco) : Ref();
    if (!log || setattr(self, f.n.log, log.get()) < 0) {
        return f.fail();
    }
    if (!call_method(self, f.n.check_environment)) {
        return f.fail();
    }
    if (setattr(self, f.n.esco, esco) < 0) {
        return f.fail();
    }

    Ref get_instance = f.global(f.n.get_instance);
    Ref containers = get_instance ? call_kw(get_instance.get(), f.n.kw_esco, esco) : Ref();
    if (!containers || setattr(self, f.n.containers, containers.get()) < 0) {
        return f.fail();
    }

    Ref supa_client = f.global(f.n.supa_client);
    Ref url = supa_client ? f.global(f.n.supabase_url) : Ref();
    Ref key = url ? f.global(f.n.supabase_key) : Ref();
    Ref role_key = key ? f.global(f.n.tramu_role_key) : Ref();
    Ref client = role_key ? call(supa_client.get(), url.get(), key.get(), role_key.get()) : Ref();
    if (!client || setattr(self, f.n.tramu_supabase, client.get()) < 0) {
        return f.fail();
    }
    Py_RETURN_NONE;
}

// Truth of a module global: 1, 0, or -1 on error.
int global_is_true(const Frame& f, PyObject* name)
{
    Ref value = f.global(name);
    return value ? PyObject_IsTrue(value.get()) : -1;
}

// def _check_environment(self):
//     if not supabase_url or not supabase_key:
//         self.log.error("Environment variables SUPABASE_URL and SUPABASE_ANON_KEY not set.")
//         sys.exit(2)
//     if not tramu_role_key:
//         self.log.error("Environment variable TRAMU_ROLE_KEY not set.")
//         sys.exit(3)
PyObject* check_environment(const Frame& f, PyObject* const* args)
{
    PyObject* self = args[0];
    int present = global_is_true(f, f.n.supabase_url);
    if (present > 0) {
        present = global_is_true(f, f.n.supabase_key);
    }
    if (present < 0 || (present == 0 && fail_with_status(f, self, f.n.msg_db_settings, 2) < 0)) {
        return f.fail();
    }
    present = global_is_true(f, f.n.tramu_role_key);
    if (present < 0 || (present == 0 && fail_with_status(f, self, f.n.msg_role_key, 3) < 0)) {
        return f.fail();
    }
    Py_RETURN_NONE;
}

// The protected part of run_job:
//     self.log.info("run_job", meter_id=meter_id, serial=serial,
//                   mediator_address=mediator_address)
//     job = PrepayEnabledFlipJob(meter=meter_row, mediator_address=mediator_address,
//                                supabase=self.tramu_supabase)
//     return job.update()
Ref flip_one(const Frame& f, PyObject* self, PyObject* meter_row, PyObject* meter_id,
             PyObject* serial, PyObject* mediator_address)
{
    Ref log = getattr(self, f.n.log);
    if (!log || !call_method_kw(log.get(), f.n.info, f.n.kw_run_job_fields, f.n.msg_run_job,
                                meter_id, serial, mediator_address)) {
        return {};
    }
    Ref job_class = f.global(f.n.PrepayEnabledFlipJob);
    Ref supabase = job_class ? getattr(self, f.n.tramu_supabase) : Ref();
    Ref job = supabase ? call_kw(job_class.get(), f.n.kw_flip_job, meter_row, mediator_address,
                                 supabase.get())
                       : Ref();
    // Looked up on the instance each time: whatever made it (a rebound class,
    // a property on the class) may have given it its own `update`.
    return job ? call_method(job.get(), f.n.update) : Ref();
}

// def run_job(self, meter_row) -> "bool":
//     self.log.info(f"run_job for meter_row {meter_row}")
//     meter_id = meter_row["id"]
//     serial = meter_row["serial"]
//     mediator_address = self.containers.mediator_address(meter_id, serial)
//     if mediator_address is None:
//         self.log.error(f"No mediator container exists for meter {serial}")
//         return False
//     try:
//         ...                                      # flip_one
//     except Exception as e:
//         self.log.error("Failure occurred pushing token", error=e,
//                        exception=traceback.format_exception(e))
//         return False
PyObject* run_job(const Frame& f, PyObject* const* args)
{
    PyObject* self = args[0];
    PyObject* meter_row = args[1];

    if (log_formatted(f, self, f.n.info, f.n.msg_run_job_for, meter_row) < 0) {
        return f.fail();
    }
    Ref meter_id = getitem(meter_row, f.n.id);
    Ref serial = meter_id ? getitem(meter_row, f.n.serial) : Ref();
    Ref containers = serial ? getattr(self, f.n.containers) : Ref();
    Ref mediator_address = containers ? call_method(containers.get(), f.n.mediator_address_of,
                                                    meter_id.get(), serial.get())
                                      : Ref();
    if (!mediator_address) {
        return f.fail();
    }
    if (mediator_address.get() == Py_None) {
        if (log_formatted(f, self, f.n.error, f.n.msg_no_mediator, serial.get()) < 0) {
            return f.fail();
        }
        Py_RETURN_FALSE;
    }

    Ref result = flip_one(f, self, meter_row, meter_id.get(), serial.get(), mediator_address.get());
    if (result) {
        return result.release();
    }
    Ref exc = f.caught();
    if (!PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception)) {
        PyErr_SetRaisedException(exc.release());
        return f.fail();
    }
    Handling handling(exc.get());
    if (log_failure(f, self, f.n.msg_pushing_token, exc.get()) < 0) {
        return f.fail();
    }
    Py_RETURN_FALSE;
}

// f"...{len(sized)}...", the length in place of %zd
Ref sized_message(const char* format, PyObject* sized)
{
    const Py_ssize_t size = PyObject_Size(sized);
    return size < 0 ? Ref() : Ref::steal(PyUnicode_FromFormat(format, size));
}

// type(obj).<name> bound to obj: how `with` finds __enter__ and __exit__.
Ref special_method(PyObject* obj, PyObject* name, const char* missing)
{
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    PyObject* raw = nullptr;
    if (PyObject_GetOptionalAttr(type, name, &raw) == 0) {
        PyErr_Format(PyExc_TypeError,
                     "'%.200s' object does not support the context manager protocol%s",
                     Py_TYPE(obj)->tp_name, missing);
    }
    Ref attr = Ref::steal(raw);
    if (!attr) {
        return {};
    }
    descrgetfunc get = Py_TYPE(raw)->tp_descr_get;
    return get != nullptr ? Ref::steal(get(raw, obj, type)) : std::move(attr);
}

// The body of the `with` block: one future per row, in row order.
Ref submit_all(const Frame& f, PyObject* self, PyObject* executor, PyObject* meters)
{
    Ref futures = Ref::steal(PyList_New(0));
    Ref rows = futures ? Ref::steal(PyObject_GetIter(meters)) : Ref();
    if (!rows) {
        return {};
    }
    while (Ref row = Ref::steal(PyIter_Next(rows.get()))) {
        Ref task = getattr(self, f.n.run_job);
        Ref future = task ? call_method(executor, f.n.submit, task.get(), row.get()) : Ref();
        if (!future || PyList_Append(futures.get(), future.get()) < 0) {
            return {};
        }
    }
    return PyErr_Occurred() ? Ref() : std::move(futures);
}

// with concurrent.futures.ThreadPoolExecutor(max_workers=5) as executor:
//     futures = [executor.submit(self.run_job, meter) for meter in meters_to_disable]
//
// Leaving the block waits for every task, so no result is read before all have ended.
Ref run_pool(const Frame& f, PyObject* self, PyObject* meters)
{
    Ref concurrent = f.global(f.n.concurrent);
    Ref futures_module = concurrent ? getattr(concurrent.get(), f.n.futures) : Ref();
    Ref workers = futures_module ? Ref::steal(PyLong_FromLong(5)) : Ref();
    Ref pool = workers ? call_method_kw(futures_module.get(), f.n.ThreadPoolExecutor,
                                        f.n.kw_max_workers, workers.get())
                       : Ref();
    Ref enter = pool ? special_method(pool.get(), f.n.enter, "") : Ref();
    Ref exit = enter ? special_method(pool.get(), f.n.exit_, " (missed __exit__ method)") : Ref();
    Ref executor = exit ? call(enter.get()) : Ref();
    if (!executor) {
        return {};
    }

    Ref futures = submit_all(f, self, executor.get(), meters);
    if (futures) {
        return call(exit.get(), Py_None, Py_None, Py_None) ? std::move(futures) : Ref();
    }

    Ref exc = f.caught();
    Ref suppress;
    {
        Handling handling(exc.get());
        Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
        suppress = call(exit.get(), reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(),
                        tb ? tb.get() : Py_None);
    }
    const int suppressed = suppress ? PyObject_IsTrue(suppress.get()) : -1;
    if (suppressed == 0) {
        PyErr_SetRaisedException(exc.release());
    } else if (suppressed > 0) {
        // The block never finished, so `futures` was never bound.
        PyErr_SetString(
            PyExc_UnboundLocalError,
            "cannot access local variable 'futures' where it is not associated with a value");
    }
    return {};
}

// def run(self):
//     self.log.info("Starting prepay_enabled_flip job...")
//     meters_result = (self.tramu_supabase.table("meter_registry").select("*")
//                      .in_("name", meter_names).neq("prepay_enabled", False).execute())
//     if len(meters_result.data) == 0:
//         self.log.error("No meter found to disable")
//         sys.exit(10)
//     meters_to_disable = meters_result.data
//     self.log.info(f"Processing {len(meters_to_disable)} meters")
//     with ...:                                    # run_pool
//         futures = ...
//     success_count = 0
//     for future in concurrent.futures.as_completed(futures):
//         try:
//             if future.result():
//                 success_count += 1
//         except Exception as e:
//             self.log.error(f"Error processing meter: {e}")
//     self.log.info(f"Finished prepay_enabled_flip job. Success: "
//                   f"{success_count}/{len(meters_to_disable)}")
PyObject* run(const Frame& f, PyObject* const* args)
{
    PyObject* self = args[0];
    if (log_message(f, self, f.n.info, f.n.msg_starting) < 0) {
        return f.fail();
    }

    Ref client = getattr(self, f.n.tramu_supabase);
    Ref table = client ? call_method(client.get(), f.n.table, f.n.meter_registry) : Ref();
    Ref selected = table ? call_method(table.get(), f.n.select, f.n.star) : Ref();
    Ref in_ = selected ? getattr(selected.get(), f.n.in_) : Ref();
    Ref names = in_ ? f.global(f.n.meter_names) : Ref();
    Ref named = names ? call(in_.get(), f.n.name, names.get()) : Ref();
    Ref enabled = named ? call_method(named.get(), f.n.neq, f.n.prepay_enabled, Py_False) : Ref();
    Ref meters_result = enabled ? call_method(enabled.get(), f.n.execute) : Ref();
    Ref data = meters_result ? getattr(meters_result.get(), f.n.data) : Ref();
    const Py_ssize_t found = data ? PyObject_Size(data.get()) : -1;
    if (found < 0) {
        return f.fail();
    }
    if (found == 0 && fail_with_status(f, self, f.n.msg_no_meter, 10) < 0) {
        return f.fail();
    }

    Ref meters = getattr(meters_result.get(), f.n.data);
    auto processing = [&] { return sized_message("Processing %zd meters", meters.get()); };
    if (!meters || log_built(f, self, f.n.info, processing) < 0) {
        return f.fail();
    }

    Ref futures = run_pool(f, self, meters.get());
    Ref concurrent = futures ? f.global(f.n.concurrent) : Ref();
    Ref futures_module = concurrent ? getattr(concurrent.get(), f.n.futures) : Ref();
    Ref completed =
        futures_module ? call_method(futures_module.get(), f.n.as_completed, futures.get()) : Ref();
    Ref done = completed ? Ref::steal(PyObject_GetIter(completed.get())) : Ref();
    if (!done) {
        return f.fail();
    }
    Py_ssize_t success_count = 0;
    while (Ref future = Ref::steal(PyIter_Next(done.get()))) {
        Ref value = call_method(future.get(), f.n.result);
        const int truth = value ? PyObject_IsTrue(value.get()) : -1;
        if (truth >= 0) {
            success_count += truth;
            continue;
        }
        Ref exc = f.caught();
        if (!PyErr_GivenExceptionMatches(exc.get(), PyExc_Exception)) {
            PyErr_SetRaisedException(exc.release());
            return f.fail();
        }
        Handling handling(exc.get());
        if (log_formatted(f, self, f.n.error, f.n.msg_error_processing, exc.get()) < 0) {
            return f.fail();
        }
    }
    if (PyErr_Occurred()) {
        return f.fail();
    }

    auto summary = [&] {
        const Py_ssize_t total = PyObject_Size(meters.get());
        return total < 0 ? Ref()
                         : Ref::steal(PyUnicode_FromFormat(
                               "Finished prepay_enabled_flip job. Success: %zd/%zd", success_count,
                               total));
    };
    if (log_built(f, self, f.n.info, summary) < 0) {
        return f.fail();
    }
    Py_RETURN_NONE;
}

constexpr std::array<const char*, 2> init_params{"self", "esco"};
constexpr std::array<const char*, 2> run_job_params{"self", "meter_row"};
constexpr std::array<const char*, 1> self_only{"self"};
constexpr std::array<Annotation, 1> returns_bool{{{"return", "bool"}}};

constexpr std::array<MethodSpec, 4> methods{{
    {"__init__", nullptr, init_params, 2, 1, {}, init},
    {"run_job", nullptr, run_job_params, 2, 0, returns_bool, run_job},
    {"run", nullptr, self_only, 1, 0, {}, run},
    {"_check_environment", nullptr, self_only, 1, 0, {}, check_environment},
}};

}  // namespace

std::span<const MethodSpec> flip_all_job_methods() { return methods; }

}  // namespace pef
