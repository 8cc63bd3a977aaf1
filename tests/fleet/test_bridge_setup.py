"""How a bridge reaches its broker: with a user name and password, over TLS with
its own CA file, and refusing to start on options it cannot use."""

from __future__ import annotations

import base64
import hashlib
import os
import subprocess
from pathlib import Path

import pytest

from conftest import WAIT, Fleet, retained_snapshot, terminal_state, wait_states
from fleet_processes import bridge_program
from mqtt_broker import free_port

USER, PASSWORD = "site-user", "s3cret pass"


def password_line(user: str, password: str) -> str:
    """A password file line as mosquitto keeps it: PBKDF2-SHA512, 101 rounds, 12 bytes of salt."""
    salt = os.urandom(12)
    digest = hashlib.pbkdf2_hmac("sha512", password.encode(), salt, 101)
    return f"{user}:$7$101${base64.b64encode(salt).decode()}${base64.b64encode(digest).decode()}\n"


def make_certificates(folder: Path) -> None:
    """A CA, a server certificate it signed for 127.0.0.1, and another CA."""
    folder.mkdir(parents=True)
    (folder / "server.ext").write_text("subjectAltName=IP:127.0.0.1\n")
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    steps = [
        ["req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.crt", "-days", "2", "-subj", "/CN=KS318 test CA"],
        ["req", *key, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1"],
        ["x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
         "-out", "server.crt", "-days", "2", "-extfile", "server.ext"],
        ["req", "-x509", *key, "-keyout", "other.key", "-out", "other.crt", "-days", "2", "-subj", "/CN=Other CA"],
    ]
    for step in steps:
        done = subprocess.run(["openssl", *step], cwd=folder, capture_output=True, text=True, timeout=WAIT)
        assert done.returncode == 0, f"openssl {' '.join(step)}:\n{done.stderr}"


@pytest.fixture
def guarded(tmp_path: Path):
    """A broker that takes only USER with PASSWORD, on a plain port and a TLS port."""
    secrets = tmp_path / "secrets"
    make_certificates(secrets)
    (secrets / "passwords").write_text(password_line(USER, PASSWORD))
    (secrets / "right").write_text(f"{USER}\n{PASSWORD}\n")
    (secrets / "wrong").write_text(f"{USER}\nnot the password\n")
    tls_port = free_port()
    config = (f"allow_anonymous false\npassword_file {secrets / 'passwords'}\n"
              f"listener {tls_port} 127.0.0.1\ncafile {secrets / 'ca.crt'}\n"
              f"certfile {secrets / 'server.crt'}\nkeyfile {secrets / 'server.key'}\n")
    fleet = Fleet(tmp_path, broker_config=config, credentials=(USER, PASSWORD))
    fleet.secrets = secrets  # type: ignore[attr-defined]
    fleet.tls_url = f"mqtts://127.0.0.1:{tls_port}"  # type: ignore[attr-defined]
    yield fleet
    fleet.close()


def test_credentials_and_tls_take_the_bridge_to_its_broker(guarded):
    secrets = guarded.secrets
    watcher = guarded.watcher()
    plain = guarded.bridge("plain", "--credentials", str(secrets / "right"))
    secure = guarded.bridge("secure", "--credentials", str(secrets / "right"), "--cafile", str(secrets / "ca.crt"),
                            broker=guarded.tls_url)
    for site, bridge in (("plain", plain), ("secure", secure)):
        watcher.wait_latest(f"ks318/{site}/online", b"true")
        term = guarded.term(bridge, 1, "320", uid_base=(0x0F, 0, 0, 0, 0, 1), folder=f"term-{site}")
        wait_states(watcher, site, [{**terminal_state(site, term.ids()[0], 1, 320, 1), "text": "SIM TERMINAL"}],
                    f"the terminal's state at {site}")
        term.send("keys q")
        key = watcher.wait_message(f"ks318/{site}/terminals/{term.ids()[0]}/events/key").json()
        assert (key["site"], key["key"]) == (site, ord("q"))
    answer = guarded.commander().send("ks318/secure/all/commands/fill", {"index": 3})
    assert [r["status"] for r in answer["results"]] == ["sent"]


@pytest.mark.parametrize("way", ["wrong password", "no credentials", "unknown CA"])
def test_a_refused_bridge_says_why_and_publishes_nothing(guarded, way):
    secrets = guarded.secrets
    arguments = {"wrong password": ["--credentials", str(secrets / "wrong")],
                 "no credentials": [],
                 "unknown CA": ["--credentials", str(secrets / "right"), "--cafile", str(secrets / "other.crt")]}[way]
    bridge = guarded.bridge("refused", *arguments, broker=guarded.tls_url if way == "unknown CA" else None)
    # The broker's or TLS library's reason, in the bridge's output.
    reason = "verify failed" if way == "unknown CA" else "not authori"
    bridge.wait_for(lambda: any(reason in line.lower() for line in bridge.lines), f"a line saying '{reason}'")
    assert bridge.running(), bridge.output()
    assert not any(topic.startswith("ks318/refused/") for topic in retained_snapshot(guarded, "refused"))
    assert bridge.stop() == 0


@pytest.mark.parametrize("arguments, named", [
    (["--site", "a/b"], "a/b"),
    (["--site", ""], "--site"),
    (["--site", "s" * 65], "s" * 65),
    (["--broker", "http://127.0.0.1:1883"], "http://127.0.0.1:1883"),
    (["--broker", "mqtt://127.0.0.1:70000"], "70000"),
    (["--broker", "mqtt://"], "mqtt://"),
    (["--credentials", "/nonexistent/credentials"], "/nonexistent/credentials"),
    (["--queue-limit", "0"], "--queue-limit"),
])
def test_unusable_options_stop_the_bridge_with_a_reason(tmp_path: Path, arguments, named):
    given = {"--site": "site", "--broker": "mqtt://127.0.0.1:1"}
    for option, value in zip(arguments[::2], arguments[1::2]):
        given[option] = value
    command = [bridge_program(), "--port", "0", "--port-file", str(tmp_path / "port"),
               "--queue-dir", str(tmp_path / "queue")]
    for option, value in given.items():
        command += [option, value]
    done = subprocess.run(command, capture_output=True, text=True, timeout=WAIT, stdin=subprocess.DEVNULL)
    said = done.stdout + done.stderr
    assert done.returncode != 0, said
    assert named in said, said
    assert not (tmp_path / "port").exists(), "it listened for terminals all the same"


def test_a_plain_url_to_a_tls_port_and_credentials_others_may_read_are_told(guarded):
    credentials = guarded.secrets / "right"
    credentials.chmod(0o644)
    bridge = guarded.bridge("hint", "--credentials", str(credentials),
                            broker=guarded.tls_url.replace("mqtts://", "mqtt://"))
    bridge.wait_for(lambda: any("is this a TLS port? use mqtts://" in line for line in bridge.lines), "the TLS hint")
    assert any(f"credentials file {credentials} may be read by others (mode 0644)" in line
               for line in bridge.lines), bridge.output()
    assert bridge.stop() == 0
