"""Browser tests of ks318-web's page, in headless Chromium driven by Selenium.

Each test starts its own ks318-web and ks318-term (conftest.py's dashboard_factory:
free loopback ports, a known token), opens the page and checks what a person would
see: terminals arriving and leaving without a reload, a picture sent through the
page's file input reaching every simulated screen and every thumbnail, keys and
other input from a terminal in the event feed, the token field, the model-320
settings.

Environment:
  KS318_WEB, KS318_TERM    the programs (conftest.py; default: build/default)
  KS318_ARTIFACTS          directory for the screenshots kept (default: a new temporary one)
  CHROMIUM, CHROMEDRIVER   default /usr/bin/chromium and /usr/bin/chromedriver

Every wait ends as soon as its condition holds and fails only after WAIT seconds.
"""
import os
import pathlib
import struct
import tempfile
import zlib

import pytest
from selenium import webdriver
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

from conftest import bmp_picture, read_png, wait_until

WAIT = 30  # seconds: the upper bound of every wait (a busy 2-core machine is slow, never this slow)
TEXT = "SIM TERMINAL"  # ks318-term's identifier text, numbered: "SIM TERMINAL 1", "SIM TERMINAL 2", ...
THREE = [f"{TEXT} {i}" for i in (1, 2, 3)]


def artifacts_dir():
    path = os.environ.get("KS318_ARTIFACTS")
    if path:
        pathlib.Path(path).mkdir(parents=True, exist_ok=True)
        return pathlib.Path(path)
    return pathlib.Path(tempfile.mkdtemp(prefix="ks318-web-artifacts-"))


def png_size(path):
    data = pathlib.Path(path).read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR"
    return struct.unpack(">II", data[16:24])


def screen_file(path):
    """A simulated terminal's screen PNG as (width, height, rows); None while not (wholly) written."""
    try:
        return read_png(pathlib.Path(path).read_bytes())
    except (OSError, AssertionError, zlib.error, struct.error, IndexError):
        return None


def colour_shares(path):
    """Shares of strongly red and strongly blue pixels of a screen PNG; None while unreadable."""
    picture = screen_file(path)
    if not picture:
        return None
    width, height, rows = picture
    red = blue = 0
    for row in rows:
        for i in range(0, len(row), 3):
            r, g, b = row[i], row[i + 1], row[i + 2]
            red += r > 160 and g < 90 and b < 90
            blue += b > 160 and r < 90 and g < 90
    return red / (width * height), blue / (width * height)


def white_share(path):
    picture = screen_file(path)
    if not picture:
        return None
    width, height, rows = picture
    white = sum(1 for row in rows for i in range(0, len(row), 3) if row[i:i + 3] == b"\xff\xff\xff")
    return white / (width * height)


def red_and_blue(x, _y):
    """The test picture (64 x 48): the left half red, the right half blue."""
    return (230, 20, 20) if x < 32 else (20, 20, 230)


@pytest.fixture(scope="module")
def driver():
    options = Options()
    options.binary_location = os.environ.get("CHROMIUM", "/usr/bin/chromium")
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,800",
                     "--force-device-scale-factor=1", "--lang=en-GB"):
        options.add_argument(argument)
    service = Service(executable_path=os.environ.get("CHROMEDRIVER", "/usr/bin/chromedriver"))
    browser = webdriver.Chrome(service=service, options=options)
    # The page itself 1280 x 800, whatever the window adds around it.
    extra = browser.execute_script("return [outerWidth - innerWidth, outerHeight - innerHeight]")
    browser.set_window_size(1280 + extra[0], 800 + extra[1])
    yield browser
    browser.quit()


# ---- Page helpers --------------------------------------------------------------------

def waiter(browser):
    return WebDriverWait(browser, WAIT, poll_frequency=0.1,
                         ignored_exceptions=(StaleElementReferenceException,))


def open_page(browser, dashboard, with_token=True):
    browser.get(dashboard.base_url + "/" + (f"#token={dashboard.token}" if with_token else ""))
    if with_token:
        waiter(browser).until(lambda b: b.find_element(By.ID, "live-status").get_attribute("data-state") == "live",
                              "the page's event stream to open")


ROWS_JS = """
return [...document.querySelectorAll('#terminal-rows tr[data-terminal]')].map(tr => ({
  number: Number(tr.dataset.terminal), id: Number(tr.dataset.id), model: tr.dataset.model, uid: tr.dataset.uid,
  text: tr.querySelector('td.c-ident .text').textContent,
  revision: tr.querySelector('img.thumb').dataset.revision}));
"""


def rows(browser):
    return browser.execute_script(ROWS_JS)


def rows_by_text(browser):
    return {row["text"]: row for row in rows(browser)}


def wait_for_identified(browser, texts):
    """Waits until the rows are exactly the terminals with these texts, each identified."""
    want = set(texts)

    def identified(b):
        found = rows_by_text(b)
        return found if set(found) == want and all(r["uid"] for r in found.values()) else False

    return waiter(browser).until(identified, f"rows for {sorted(want)}")


THUMB_JS = """
const img = document.querySelector(`#terminal-rows tr[data-terminal="${arguments[0]}"] img.thumb`);
if (!img || !img.complete || !img.naturalWidth) return null;
const canvas = document.createElement('canvas');
canvas.width = img.naturalWidth; canvas.height = img.naturalHeight;
const g = canvas.getContext('2d');
g.drawImage(img, 0, 0);
const d = g.getImageData(0, 0, canvas.width, canvas.height).data;
let red = 0, blue = 0, lit = 0;
for (let i = 0; i < d.length; i += 4) {
  if (d[i] > 160 && d[i + 1] < 90 && d[i + 2] < 90) red++;
  if (d[i + 2] > 160 && d[i] < 90 && d[i + 1] < 90) blue++;
  if (d[i] + d[i + 1] + d[i + 2] > 30) lit++;
}
const n = d.length / 4;
return {revision: Number(img.dataset.revision), width: img.naturalWidth, red: red / n, blue: blue / n, lit: lit / n};
"""


def feed_lines(browser, kind=None):
    selector = "#feed li" + (f'[data-kind="{kind}"]' if kind else "")
    return browser.execute_script(
        "return [...document.querySelectorAll(arguments[0])].map(li => ({kind: li.dataset.kind, "
        "terminal: li.dataset.terminal, name: li.querySelector('.term').textContent, "
        "what: li.querySelector('.what').textContent}));", selector)


def latest_result(browser, action):
    """The newest result card of this action once it is no longer pending: {state, lines}."""
    return browser.execute_script("""
const card = document.querySelector(`#results section.result[data-action="${arguments[0]}"]`);
if (!card || card.dataset.state === 'pending') return null;
return {state: card.dataset.state, lines: [...card.querySelectorAll('li')].map(li => ({
  terminal: li.dataset.terminal, status: li.dataset.status, text: li.textContent,
  progress: li.querySelector('progress.transfer')?.value ?? null}))};""", action)


def click(browser, element_id):
    browser.find_element(By.ID, element_id).click()


# ---- Tests ---------------------------------------------------------------------------

def test_terminals_appear_as_they_connect(driver, dashboard_factory):
    dashboard = dashboard_factory(0)
    open_page(driver, dashboard)
    assert "token=" not in driver.current_url, "the token stays out of the address bar"
    assert driver.execute_script("return sessionStorage.getItem('ks318.token')") == dashboard.token
    assert not driver.find_element(By.ID, "token-form").is_displayed()
    waiter(driver).until(lambda b: b.find_element(By.ID, "no-terminals").is_displayed(), "the no-terminal line")
    assert rows(driver) == []
    driver.execute_script("window.__sameDocument = 'still here';")

    dashboard_factory.add_term(dashboard, 3, "318,320")
    found = wait_for_identified(driver, THREE)

    # Models 318 and 320 in turn, as ks318-term gives them; numbers 1 to 3.
    assert {text: row["model"] for text, row in found.items()} == {THREE[0]: "318", THREE[1]: "320", THREE[2]: "318"}
    assert sorted(row["number"] for row in found.values()) == [1, 2, 3]
    assert len({row["uid"] for row in found.values()}) == 3
    waiter(driver).until(lambda b: len(feed_lines(b, "connect")) == 3, "three connect lines in the feed")
    waiter(driver).until(lambda b: "3 terminals connected" in b.find_element(By.ID, "summary").text,
                         "the summary to count three terminals")
    assert not driver.find_element(By.ID, "no-terminals").is_displayed()
    # Every row shows its thumbnail (a black screen so far), loaded from the server.
    for row in found.values():
        thumb = waiter(driver).until(lambda b, n=row["number"]: b.execute_script(THUMB_JS, n),
                                     f"terminal {row['number']}'s thumbnail")
        assert thumb["width"] == (80 if row["model"] == "318" else 120)
        assert thumb["lit"] == 0, "a screen starts black"
    assert driver.execute_script("return window.__sameDocument") == "still here", "no reload"


def test_picture_for_all_reaches_screens_and_thumbnails(driver, dashboard_factory, tmp_path):
    dashboard = dashboard_factory(3, "318,320")
    open_page(driver, dashboard)
    before = wait_for_identified(driver, THREE)
    picture = tmp_path / "halves.bmp"
    picture.write_bytes(bmp_picture(64, 48, red_and_blue))

    driver.find_element(By.ID, "picture-file").send_keys(str(picture))
    click(driver, "target-all")
    click(driver, "do-picture")
    result = waiter(driver).until(lambda b: latest_result(b, "picture"), "the picture's results")
    assert result["state"] == "done", result
    assert sorted(int(line["terminal"]) for line in result["lines"]) == [1, 2, 3]
    assert all(line["status"] == "sent" for line in result["lines"]), result

    # Each simulated terminal drew it: red on the left, blue on the right.
    for i in (1, 2, 3):
        path = dashboard.term.screen_path(i)
        wait_until(lambda path=path: (s := colour_shares(path)) and s[0] > 0.15 and s[1] > 0.15,
                   f"simulated terminal {i}'s screen to show the picture", timeout=WAIT)

    # Each thumbnail was fetched again, at a later revision, and shows it too.
    for text, row in before.items():
        def shows_picture(b, n=row["number"], old=int(row["revision"])):
            thumb = b.execute_script(THUMB_JS, n)
            return thumb if thumb and thumb["revision"] > old and thumb["red"] > 0.15 and thumb["blue"] > 0.15 else False
        thumb = waiter(driver).until(shows_picture, f"{text}'s thumbnail to show the picture")
        assert thumb["width"] == (80 if row["model"] == "318" else 120)

    # What a terminal sends shows in the feed in words; then the page is kept as a picture.
    dashboard.term.send("@1 card 'BADGE 4711' ''")
    dashboard.term.send("@3 serial 0 hello")
    # Shown by its last four characters only.
    waiter(driver).until(lambda b: any("“******4711”" in line["what"] for line in feed_lines(b, "card")),
                         "the card read in the feed")
    assert not any("BADGE" in line["what"] for line in feed_lines(driver, "card"))
    waiter(driver).until(lambda b: any("hello" in line["what"] and "68 65 6c 6c 6f" in line["what"]
                                       for line in feed_lines(b, "serial")),
                         "the serial data, text and hex, in the feed")
    path = artifacts_dir() / "dashboard.png"
    assert driver.save_screenshot(str(path))
    print(f"screenshot: {path}")
    assert png_size(path) == (1280, 800)


def test_key_typed_on_a_terminal_appears_in_the_feed(driver, dashboard_factory):
    dashboard = dashboard_factory(3, "318,320")
    open_page(driver, dashboard)
    found = wait_for_identified(driver, THREE)
    second = str(found[THREE[1]]["id"])

    dashboard.term.send("@2 key 97")

    def key_line(b):
        return [line for line in feed_lines(b, "key") if line["terminal"] == second and "\u201ca\u201d" in line["what"]
                and line["name"] == THREE[1]]

    waiter(driver).until(key_line, "key 'a' from the second terminal in the feed")

    # The filters: by kind, then by another terminal's name, which hides it.
    Select(driver.find_element(By.ID, "feed-kind")).select_by_value("key")
    waiter(driver).until(lambda b: (lines := feed_lines(b)) and all(line["kind"] == "key" for line in lines),
                         "only keys in the feed")
    driver.find_element(By.ID, "feed-terminal").send_keys(THREE[0])
    waiter(driver).until(lambda b: feed_lines(b) == [], "no key of " + THREE[0])
    driver.find_element(By.ID, "feed-terminal").clear()
    driver.find_element(By.ID, "feed-terminal").send_keys(THREE[1])
    waiter(driver).until(key_line, "the key line back under its own terminal's name")
    driver.find_element(By.ID, "feed-terminal").clear()
    driver.find_element(By.ID, "feed-terminal").send_keys("#" + second)
    waiter(driver).until(key_line, "the key line under its terminal's id")


def test_disconnect_removes_the_row(driver, dashboard_factory):
    dashboard = dashboard_factory(3, "318,320")
    open_page(driver, dashboard)
    found = wait_for_identified(driver, THREE)
    driver.execute_script("window.__sameDocument = 'still here';")
    by_number = {row["number"]: text for text, row in found.items()}
    first, middle, last = by_number[1], by_number[2], by_number[3]
    # The last one is selected: it keeps its selection, which is by id, when its number moves.
    driver.find_element(By.CSS_SELECTOR, f'#terminal-rows tr[data-id="{found[last]["id"]}"] input.select').click()
    dashboard.term.send(f"@{middle.split()[-1]} key 98")
    waiter(driver).until(lambda b: [line for line in feed_lines(b, "key") if line["name"] == middle],
                         "the middle terminal's key, under its name")

    dashboard.term.send(f"@{first.split()[-1]} disconnect")  # terminal 1 leaves: the others move down
    wait_for_identified(driver, [text for text in THREE if text != first])
    # The numbers shown are the library's, read again: closed up, not lowered by the page.
    left = waiter(driver).until(lambda b: (found := rows_by_text(b)) and set(found) == {middle, last}
                                and found[last]["number"] == 2 and found[middle]["number"] == 1 and found,
                                "the numbers closed up")
    waiter(driver).until(lambda b: len(feed_lines(b, "disconnect")) == 1, "the disconnect in the feed")
    waiter(driver).until(lambda b: "2 terminals connected" in b.find_element(By.ID, "summary").text,
                         "the summary to count two terminals")
    selected = driver.execute_script(
        "return [...document.querySelectorAll('#terminal-rows input.select:checked')]"
        ".map(box => box.closest('tr').querySelector('td.c-ident .text').textContent)")
    assert selected == [last]
    assert driver.find_element(By.ID, "selected-count").text == "1"
    assert {row["id"] for row in left.values()} == {found[middle]["id"], found[last]["id"]}, "ids do not move"
    # Each thumbnail is fetched under the terminal's id, which did not move.
    assert all(f"/api/terminals/{tr.get_attribute('data-id')}/screen.png" in
               tr.find_element(By.CSS_SELECTOR, "img.thumb").get_attribute("data-path")
               for tr in driver.find_elements(By.CSS_SELECTOR, "#terminal-rows tr[data-id]"))

    # The feed names the middle terminal as before, though its number moved from 2 to 1; the
    # filter by its name shows its keys from before and after, and no other terminal's.
    dashboard.term.send(f"@{middle.split()[-1]} key 99")
    waiter(driver).until(lambda b: len([line for line in feed_lines(b, "key") if line["name"] == middle]) == 2,
                         "the middle terminal's second key, under the same name")
    dashboard.term.send(f"@{last.split()[-1]} key 100")
    waiter(driver).until(lambda b: [line for line in feed_lines(b, "key") if line["name"] == last],
                         "the last terminal's key, under its own name")
    driver.find_element(By.ID, "feed-terminal").send_keys(middle)
    waiter(driver).until(lambda b: (lines := feed_lines(b, "key")) and len(lines) == 2
                         and {line["terminal"] for line in lines} == {str(found[middle]["id"])},
                         "only the middle terminal's two keys under its name")
    assert driver.execute_script("return window.__sameDocument") == "still here", "no reload"


def test_token_field_when_the_address_has_none(driver, dashboard_factory):
    dashboard = dashboard_factory(3, "318,320")
    driver.execute_script("sessionStorage.clear()")
    open_page(driver, dashboard, with_token=False)
    # Without the token the page shows nothing of the terminals: it asks for the token.
    waiter(driver).until(lambda b: b.find_element(By.ID, "token-form").is_displayed(), "the token field")
    assert "token" in driver.find_element(By.ID, "summary").text
    assert rows(driver) == [] and driver.find_element(By.ID, "live-status").get_attribute("data-state") != "live"

    click(driver, "target-all")
    click(driver, "tab-fill")
    click(driver, "do-fill")
    assert "token" in driver.find_element(By.ID, "action-message").text
    assert latest_result(driver, "fill") is None, "nothing was sent without a token"

    # A wrong token: the server says 403 and the page asks again.
    driver.find_element(By.ID, "token-input").send_keys("not-the-token")
    click(driver, "token-save")
    click(driver, "do-fill")
    result = waiter(driver).until(lambda b: latest_result(b, "fill"), "the refused fill")
    assert result["state"] == "error"
    waiter(driver).until(lambda b: b.find_element(By.ID, "token-form").is_displayed(), "the token field again")

    assert rows(driver) == []
    driver.find_element(By.ID, "token-input").send_keys(dashboard.token)
    click(driver, "token-save")
    # With it, the terminals, the stream and the screens come without a reload.
    wait_for_identified(driver, THREE)
    waiter(driver).until(lambda b: b.find_element(By.ID, "live-status").get_attribute("data-state") == "live",
                         "the event stream once the token is there")
    waiter(driver).until(lambda b: b.execute_script(
        "return [...document.querySelectorAll('img.thumb')].every(i => i.src.startsWith('blob:') && i.naturalWidth > 0)"),
        "every thumbnail read with the token")
    fill = driver.find_element(By.ID, "fill-index")
    fill.clear()
    fill.send_keys("15")
    click(driver, "do-fill")
    result = waiter(driver).until(lambda b: (r := latest_result(b, "fill")) and r["state"] == "done" and r,
                                  "the fill's results")
    assert [line["status"] for line in result["lines"]] == ["sent"] * 3, result
    assert driver.execute_script("return sessionStorage.getItem('ks318.token')") == dashboard.token
    # Entry 15 is white: every simulated screen turns white.
    for i in (1, 2, 3):
        path = dashboard.term.screen_path(i)
        wait_until(lambda path=path: white_share(path) == 1.0, f"simulated terminal {i}'s screen to turn white",
                   timeout=WAIT)


def test_settings_are_for_model_320_only(driver, dashboard_factory):
    dashboard = dashboard_factory(3, "318,320")
    open_page(driver, dashboard)
    found = wait_for_identified(driver, THREE)
    click(driver, "tab-settings")

    def choose(text):
        box = driver.find_element(By.CSS_SELECTOR, f'#terminal-rows tr[data-terminal="{found[text]["number"]}"] input.select')
        assert not box.is_selected()
        box.click()

    choose(THREE[0])  # a model 318 alone
    note = driver.find_element(By.ID, "settings-note")
    waiter(driver).until(lambda b: note.is_displayed(), "the model-320-only note")
    assert "model 320 only" in note.text
    assert not driver.find_element(By.ID, "do-setting-ask").is_enabled()
    assert not driver.find_element(By.ID, "do-setting-set").is_enabled()

    choose(THREE[1])  # and a model 320
    waiter(driver).until(lambda b: b.find_element(By.ID, "do-setting-set").is_enabled(), "the settings enabled")
    assert not note.is_displayed()

    Select(driver.find_element(By.ID, "setting-kind")).select_by_value("volume")
    value = driver.find_element(By.ID, "setting-value")
    value.clear()
    value.send_keys("7")
    click(driver, "do-setting-set")
    result = waiter(driver).until(lambda b: latest_result(b, "volume"), "the volume's results")
    by_number = {int(line["terminal"]): line for line in result["lines"]}
    assert set(by_number) == {found[THREE[0]]["number"], found[THREE[1]]["number"]}
    assert by_number[found[THREE[1]]["number"]]["status"] == "sent", result
    assert by_number[found[THREE[0]]["number"]]["status"] == "refused by model", result
    assert "only model 320" in by_number[found[THREE[0]]["number"]]["text"], "the library's reason, in words"

    # Asked back: the model 320 answers with what was set (the newest card comes first).
    click(driver, "do-setting-ask")
    result = waiter(driver).until(lambda b: latest_result(b, "volume"), "the volume's answers")
    asked = {int(line["terminal"]): line for line in result["lines"]}[found[THREE[1]]["number"]]
    assert asked["status"] == "sent" and "volume: 7" in asked["text"], result


def test_file_sent_from_the_page_shows_progress_per_terminal(driver, dashboard_factory, tmp_path):
    dashboard = dashboard_factory(2, "318,320")
    open_page(driver, dashboard)
    found = wait_for_identified(driver, [f"{TEXT} 1", f"{TEXT} 2"])
    data = bytes(range(256)) * 4096  # 1 MiB
    source = tmp_path / "clip.bin"
    source.write_bytes(data)

    click(driver, "target-all")
    click(driver, "tab-file")
    driver.find_element(By.ID, "file-file").send_keys(str(source))
    driver.find_element(By.ID, "file-name").send_keys("media/clip.bin")
    click(driver, "do-file")

    def finished(b):
        result = latest_result(b, "file")
        if not result or result["state"] != "done" or len(result["lines"]) != 2:
            return False
        return result if all(line["progress"] == 100 for line in result["lines"]) else False

    result = waiter(driver).until(finished, "both transfers' progress bars at 100%")
    assert sorted(int(line["terminal"]) for line in result["lines"]) == sorted(r["number"] for r in found.values())
    assert all(line["status"] == "sent" and "100%" in line["text"] for line in result["lines"]), result
    for i in (1, 2):
        received = dashboard.term.files_of(i) / "media" / "clip.bin"
        wait_until(lambda received=received: received.exists() and received.stat().st_size == len(data),
                   f"the file on simulated terminal {i}", timeout=WAIT)
        assert received.read_bytes() == data
