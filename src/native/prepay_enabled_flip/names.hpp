// The strings the module uses: names, keys, messages and keyword tuples.
// Made once per module object, so that no call path builds them again.
#pragma once

#include "ref.hpp"

namespace pef {

#define PEF_STRINGS(X)                                                                      \
    /* modules and the names imported from them */                                          \
    X(argparse, "argparse")                                                                 \
    X(concurrent, "concurrent")                                                             \
    X(concurrent_futures, "concurrent.futures")                                             \
    X(os, "os")                                                                             \
    X(sys, "sys")                                                                           \
    X(traceback, "traceback")                                                               \
    X(typing, "typing")                                                                     \
    X(Any, "Any")                                                                           \
    X(Dict, "Dict")                                                                         \
    X(adapter_factory, "vaxo_ortane.orchestrate.adapter.factory")                           \
    X(get_instance, "get_instance")                                                         \
    X(util_logging, "vaxo_ortane.util.logging")                                             \
    X(get_logger, "get_logger")                                                             \
    X(util_supabase, "vaxo_ortane.util.supabase")                                           \
    X(supa_client, "supa_client")                                                           \
    X(Client, "Client")                                                                     \
    X(SupabaseClient, "SupabaseClient")                                                     \
    X(mediator_client, "vaxo_ortane.mediator.client")                                       \
    X(OrtaneMediatorClient, "OrtaneMediatorClient")                                         \
    X(mediator_client_exception, "vaxo_ortane.mediator.mediator_client_exception")          \
    X(MediatorClientException, "MediatorClientException")                                   \
    /* module globals */                                                                    \
    X(logger, "logger")                                                                     \
    X(supabase_url, "supabase_url")                                                         \
    X(supabase_key, "supabase_key")                                                         \
    X(tramu_role_key, "tramu_role_key")                                                     \
    X(meter_names_str, "meter_names_str")                                                   \
    X(meter_names, "meter_names")                                                           \
    X(meter_names_len, "meter_names_len")                                                   \
    X(PrepayEnabledFlipJob, "PrepayEnabledFlipJob")                                         \
    X(PrepayEnabledFlipAllJob, "PrepayEnabledFlipAllJob")                                   \
    X(parser, "parser")                                                                     \
    X(args, "args")                                                                         \
    X(esco, "esco")                                                                         \
    X(runner, "runner")                                                                     \
    X(print, "print")                                                                       \
    /* environment */                                                                       \
    X(environ, "environ")                                                                   \
    X(get, "get")                                                                           \
    X(env_supabase_url, "SUPABASE_URL")                                                     \
    X(env_supabase_anon_key, "SUPABASE_ANON_KEY")                                           \
    X(env_tramu_role_key, "TRAMU_ROLE_KEY")                                                 \
    X(env_meter_names, "PREPAY_DISABLED_METER_NAMES")                                       \
    X(split, "split")                                                                       \
    X(strip, "strip")                                                                       \
    X(comma, ",")                                                                           \
    X(exit, "exit")                                                                         \
    /* command line */                                                                      \
    X(ArgumentParser, "ArgumentParser")                                                     \
    X(add_argument, "add_argument")                                                         \
    X(parse_args, "parse_args")                                                             \
    X(opt_esco, "--esco")                                                                   \
    X(store, "store")                                                                       \
    X(esco_help, "Flip meters in this ESCO only")                                           \
    /* attributes and methods of the collaborators */                                       \
    X(futures, "futures")                                                                   \
    X(ThreadPoolExecutor, "ThreadPoolExecutor")                                             \
    X(enter, "__enter__")                                                                   \
    X(exit_, "__exit__")                                                                    \
    X(submit, "submit")                                                                     \
    X(as_completed, "as_completed")                                                         \
    X(result, "result")                                                                     \
    X(format_exception, "format_exception")                                                 \
    X(bind, "bind")                                                                         \
    X(info, "info")                                                                         \
    X(error, "error")                                                                       \
    X(table, "table")                                                                       \
    X(select, "select")                                                                     \
    X(in_, "in_")                                                                           \
    X(neq, "neq")                                                                           \
    X(execute, "execute")                                                                   \
    X(data, "data")                                                                         \
    X(mediator_address_of, "mediator_address")                                              \
    X(prepay_enabled_write, "prepay_enabled_write")                                         \
    X(update, "update")                                                                     \
    X(run, "run")                                                                           \
    X(run_job, "run_job")                                                                   \
    X(check_environment, "_check_environment")                                              \
    /* instance attributes and row keys */                                                  \
    X(log, "log")                                                                           \
    X(containers, "containers")                                                             \
    X(tramu_supabase, "tramu_supabase")                                                     \
    X(meter, "meter")                                                                       \
    X(mediator_address, "mediator_address")                                                 \
    X(supabase, "supabase")                                                                 \
    X(ortane_client, "ortane_client")                                                       \
    X(id, "id")                                                                             \
    X(serial, "serial")                                                                     \
    X(meter_id, "meter_id")                                                                 \
    X(name, "name")                                                                         \
    X(prepay_enabled, "prepay_enabled")                                                     \
    X(meter_registry, "meter_registry")                                                     \
    X(star, "*")                                                                            \
    /* module and class attributes */                                                       \
    X(dunder_name, "__name__")                                                              \
    X(dunder_init, "__init__")                                                              \
    X(dunder_file, "__file__")                                                              \
    X(dunder_main, "__main__")                                                              \
    X(dunder_module, "__module__")                                                          \
    X(dunder_qualname, "__qualname__")                                                      \
    X(module_name, "vaxo_ortane.jobs.prepay_enabled_flip")                                  \
    X(empty, "")                                                                            \
    /* messages */                                                                          \
    X(msg_names_missing, "ERROR: PREPAY_DISABLED_METER_NAMES not defined")                  \
    X(msg_db_settings, "Environment variables SUPABASE_URL and SUPABASE_ANON_KEY not set.") \
    X(msg_role_key, "Environment variable TRAMU_ROLE_KEY not set.")                         \
    X(msg_starting, "Starting prepay_enabled_flip job...")                                  \
    X(msg_no_meter, "No meter found to disable")                                            \
    X(msg_error_processing, "Error processing meter: ")                                     \
    X(msg_run_job_for, "run_job for meter_row ")                                            \
    X(msg_no_mediator, "No mediator container exists for meter ")                           \
    X(msg_run_job, "run_job")                                                               \
    X(msg_pushing_token, "Failure occurred pushing token")                                  \
    X(msg_prepay_disabled, "prepay disabled")                                               \
    X(msg_mediator_failure, "Mediator client failure")                                      \
    X(msg_unknown_failure, "Unknown failure during prepay_enabled flag disable")

// Keyword-name tuples for vectorcall, in the order the calls pass them.
#define PEF_KWNAMES(X)                                             \
    X(kw_esco, "esco")                                             \
    X(kw_meter_context, "serial", "meter_id", "mediator_address")  \
    X(kw_run_job_fields, "meter_id", "serial", "mediator_address") \
    X(kw_mediator_client, "mediator_address", "meter_id")          \
    X(kw_flip_job, "meter", "mediator_address", "supabase")        \
    X(kw_failure_fields, "error", "exception")                     \
    X(kw_max_workers, "max_workers")                               \
    X(kw_esco_option, "action", "help")

struct Names {
#define PEF_FIELD(id, ...) PyObject* id;
    PEF_STRINGS(PEF_FIELD)
    PEF_KWNAMES(PEF_FIELD)
#undef PEF_FIELD
};

int names_init(Names& names);
int names_traverse(const Names& names, visitproc visit, void* arg);
void names_clear(Names& names);

}  // namespace pef
