"""The job's two classes in plain Python: the oracle the compiled module is compared
with on hostile input. Tests set this module's globals to the same collaborators as
the compiled module's.

Only the behaviour that Python itself would not give is spelled out: the exact-type
checks of PrepayEnabledFlipJob and their message, which names types as C does.
"""

import ctypes
import traceback

_TP_NAME = 3 * ctypes.sizeof(ctypes.c_void_p)  # after ob_refcnt, ob_type, ob_size


def _type_name(obj):
    # The C name of the type ("collections.OrderedDict", not "OrderedDict"), cut
    # as "%.200s" cuts it: at 200 bytes, a character split there replaced.
    raw = ctypes.c_char_p.from_address(id(type(obj)) + _TP_NAME).value
    return raw[:200].decode("utf-8", "replace")


def _check_exact(value, expected, param):
    if type(value) is not expected:
        raise TypeError(
            f"Argument '{param}' has incorrect type (expected {expected.__name__}, got {_type_name(value)})"
        )


class PrepayEnabledFlipJob:
    def __init__(self, *, meter: "Dict[str, Any]", mediator_address: "str", supabase: "SupabaseClient"):
        _check_exact(meter, dict, "meter")
        _check_exact(mediator_address, str, "mediator_address")
        self.meter = meter
        self.mediator_address = mediator_address
        self.supabase = supabase
        self.ortane_client = OrtaneMediatorClient(
            mediator_address=mediator_address,
            meter_id=meter["meter_id"],
        )
        self.log = logger.bind(
            serial=meter["serial"],
            meter_id=meter["meter_id"],
            mediator_address=mediator_address,
        )

    def update(self) -> "bool":
        try:
            self.ortane_client.prepay_enabled_write(False)
            self.log.info("prepay disabled")
            return True
        except MediatorClientException as e:
            self.log.error("Mediator client failure", error=e, exception=traceback.format_exception(e))
            return False
        except Exception as e:
            self.log.error(
                "Unknown failure during prepay_enabled flag disable", error=e, exception=traceback.format_exception(e)
            )
            return False


class PrepayEnabledFlipAllJob:
    def __init__(self, esco=None):
        self.log = logger.bind(esco=esco)
        self._check_environment()
        self.esco = esco
        self.containers = get_instance(esco=esco)
        self.tramu_supabase = supa_client(supabase_url, supabase_key, tramu_role_key)

    def run_job(self, meter_row) -> "bool":
        self.log.info(f"run_job for meter_row {meter_row}")
        meter_id = meter_row["id"]
        serial = meter_row["serial"]
        mediator_address = self.containers.mediator_address(meter_id, serial)
        if mediator_address is None:
            self.log.error(f"No mediator container exists for meter {serial}")
            return False
        try:
            self.log.info("run_job", meter_id=meter_id, serial=serial, mediator_address=mediator_address)
            job = PrepayEnabledFlipJob(meter=meter_row, mediator_address=mediator_address, supabase=self.tramu_supabase)
            return job.update()
        except Exception as e:
            self.log.error("Failure occurred pushing token", error=e, exception=traceback.format_exception(e))
            return False

    def run(self):
        self.log.info("Starting prepay_enabled_flip job...")
        meters_result = (
            self.tramu_supabase.table("meter_registry")
            .select("*")
            .in_("name", meter_names)
            .neq("prepay_enabled", False)
            .execute()
        )
        if len(meters_result.data) == 0:
            self.log.error("No meter found to disable")
            sys.exit(10)
        meters_to_disable = meters_result.data
        self.log.info(f"Processing {len(meters_to_disable)} meters")
        with concurrent.futures.ThreadPoolExecutor(max_workers=5) as executor:
            futures = [executor.submit(self.run_job, meter) for meter in meters_to_disable]
        success_count = 0
        for future in concurrent.futures.as_completed(futures):
            try:
                if future.result():
                    success_count += 1
            except Exception as e:
                self.log.error(f"Error processing meter: {e}")
        self.log.info(f"Finished prepay_enabled_flip job. Success: {success_count}/{len(meters_to_disable)}")

    def _check_environment(self):
        if not supabase_url or not supabase_key:
            self.log.error("Environment variables SUPABASE_URL and SUPABASE_ANON_KEY not set.")
            sys.exit(2)
        if not tramu_role_key:
            self.log.error("Environment variable TRAMU_ROLE_KEY not set.")
            sys.exit(3)
