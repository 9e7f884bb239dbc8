"""Constructing the fleet job: logger binding, the database settings check, collaborators."""

import pytest

URL_MESSAGE = "Environment variables SUPABASE_URL and SUPABASE_ANON_KEY not set."
ROLE_MESSAGE = "Environment variable TRAMU_ROLE_KEY not set."
ALL_UNSET = dict(SUPABASE_URL=None, SUPABASE_ANON_KEY=None, TRAMU_ROLE_KEY=None)


@pytest.mark.parametrize(
    "env, message, code",
    [
        (ALL_UNSET, URL_MESSAGE, 2),
        (dict(SUPABASE_ANON_KEY=""), URL_MESSAGE, 2),
        (dict(SUPABASE_URL=None), URL_MESSAGE, 2),
        (dict(SUPABASE_URL="", SUPABASE_ANON_KEY=None), URL_MESSAGE, 2),
        (dict(TRAMU_ROLE_KEY=None), ROLE_MESSAGE, 3),
        (dict(TRAMU_ROLE_KEY=""), ROLE_MESSAGE, 3),
    ],
)
def test_missing_setting_logs_first_gap_through_bound_logger_and_exits(load, fakes, env, message, code):
    mod = load(**env)
    fakes.events.clear()
    job = mod.PrepayEnabledFlipAllJob.__new__(mod.PrepayEnabledFlipAllJob)
    with pytest.raises(SystemExit) as exit_info:
        job.__init__(esco="X")
    assert type(exit_info.value.code) is int and exit_info.value.code == code
    context = (("esco", "X"),)
    assert fakes.events.all() == [
        ("bind", (), context),
        ("log", "error", context, (message,), ()),
    ]
    assert list(vars(job)) == ["log"]


ESCO = object()


@pytest.mark.parametrize(
    "construct, esco",
    [
        (lambda cls: cls(), None),
        (lambda cls: cls(None), None),
        (lambda cls: cls(ESCO), ESCO),
        (lambda cls: cls(esco=ESCO), ESCO),
    ],
)
def test_construction_binds_then_gets_adapter_then_client(load, fakes, construct, esco):
    # Any non-empty text passes the check, even a lone zero or blanks.
    mod = load(SUPABASE_URL="0", SUPABASE_ANON_KEY=" ", TRAMU_ROLE_KEY="0")
    fakes.events.clear()
    job = construct(mod.PrepayEnabledFlipAllJob)
    assert fakes.events.all() == [
        ("bind", (), (("esco", esco),)),
        ("get_instance", (), (("esco", esco),)),
        ("supa_client", ("0", " ", "0"), ()),
    ]
    assert list(vars(job)) == ["log", "esco", "containers", "tramu_supabase"]
    assert job.esco is esco
    assert job.containers is fakes.adapter
    assert job.tramu_supabase is fakes.client
    job.log.info("probe")
    assert fakes.events.all()[-1] == ("log", "info", (("esco", esco),), ("probe",), ())


@pytest.mark.parametrize(
    "hook, env, calls_made, attrs_set",
    [
        ("bind", {}, ["bind"], []),
        ("error", ALL_UNSET, ["bind", "log"], ["log"]),
        ("get_instance", {}, ["bind", "get_instance"], ["log", "esco"]),
        ("supa_client", {}, ["bind", "get_instance", "supa_client"], ["log", "esco", "containers"]),
    ],
)
def test_collaborator_failure_leaves_constructor_unchanged(load, fakes, hook, env, calls_made, attrs_set):
    mod = load(**env)
    fakes.events.clear()
    boom = LookupError(hook)
    fakes.hooks[hook] = fakes.raiser(boom)
    job = mod.PrepayEnabledFlipAllJob.__new__(mod.PrepayEnabledFlipAllJob)
    with pytest.raises(LookupError) as raised:
        job.__init__("X")
    assert raised.value is boom
    assert fakes.events.kinds() == calls_made
    assert list(vars(job)) == attrs_set


def test_environment_check_is_reached_through_the_instance(load, fakes):
    mod = load(**ALL_UNSET)

    class Unchecked(mod.PrepayEnabledFlipAllJob):
        def _check_environment(self):
            fakes.events.add("override", self.log is not None)

    fakes.events.clear()
    Unchecked("X")
    assert fakes.events.kinds() == ["bind", "override", "get_instance", "supa_client"]
    assert fakes.events.of("supa_client") == [("supa_client", (None, None, None), ())]
