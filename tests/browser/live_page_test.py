#!/usr/bin/python3
"""The live page in a real headless Chromium, against qmxhost and qv5810-sim.

Checks that the values the page shows are those the simulated meter served
(worked out here from the simulator's log and the meter's register map), that
the over-voltage episode turns the high-voltage rows up and back down and the
count of alarms up at the top with them, that a meter that stops answering
turns the badge amber, that a write needs the page's login and is then
confirmed, that a page of another site (a rebound name for 127.0.0.1) writes
nothing, that texts from the configuration are shown as text, that the rises
and clears come back from the history, and that the health card keeps its
layout with errors counted at either width. Saves screenshots for people to
look at.
"""
import argparse
from decimal import ROUND_HALF_UP, Decimal
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from host_process import start_host, stop  # noqa: E402
from host_process import wait_for as wait_until  # noqa: E402
from sim_log import register_pair, served_cycles  # noqa: E402

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

# The meter's register map for what the page shows: column, high register, divisor.
REGISTERS = {
    "current_1_a": (1792, 1000), "current_2_a": (1794, 1000), "current_3_a": (1796, 1000),
    "line_voltage_u12_v": (1800, 10), "line_voltage_u23_v": (1802, 10), "line_voltage_u31_v": (1804, 10),
    "phase_voltage_1_v": (1806, 10), "phase_voltage_2_v": (1808, 10), "phase_voltage_3_v": (1810, 10),
    "frequency_hz": (1812, 100),
    "total_active_power_kw": (1814, 1000), "total_reactive_power_kvar": (1816, 1000),
    "total_apparent_power_kva": (1818, 1000), "total_power_factor": (1820, 1000),
    "active_power_1_kw": (1822, 1000), "active_power_2_kw": (1824, 1000), "active_power_3_kw": (1826, 1000),
    "reactive_power_1_kvar": (1828, 1000), "reactive_power_2_kvar": (1830, 1000),
    "reactive_power_3_kvar": (1832, 1000),
    "apparent_power_1_kva": (1834, 1000), "apparent_power_2_kva": (1836, 1000),
    "apparent_power_3_kva": (1838, 1000),
    "power_factor_1": (1840, 1000), "power_factor_2": (1842, 1000), "power_factor_3": (1844, 1000),
    "active_energy_pos_wh": (1880, 1), "active_energy_neg_wh": (1882, 1),
    "reactive_energy_pos_varh": (1884, 1), "reactive_energy_neg_varh": (1886, 1),
}
# Phase A over-voltage (level 1) and its register.
OVER_VOLTAGE_A = "110200010010"
PHASE_VOLTAGE_A = "phase_voltage_1_v"
MARKUP_NAME = '<img src=x onerror="document.body.dataset.injected=1">panel <b>1</b>'
USER, PASSWORD = "anna", "correct horse battery"
# A name another site's page is served under, resolved by the browser to the bench host.
REBOUND = "evil.example"

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL:", message, file=sys.stderr)


def expected_text(bank, column):
    register, divisor = REGISTERS[column]
    raw = register_pair(bank, register)
    if column.endswith(("_wh", "_varh")):
        # For people: kWh with two decimals below 10 kWh, one from there, MWh with three from 1,000 kWh, halves up.
        scale, places = ((Decimal(10**6), "0.001") if raw >= 10**6 else (Decimal(1000), "0.1") if raw >= 10**4
                         else (Decimal(1000), "0.01"))
        return str((Decimal(raw) / scale).quantize(Decimal(places), rounding=ROUND_HALF_UP))
    decimals = len(str(divisor)) - 1
    return f"{raw / divisor:.{decimals}f}"


def wrote_events(log_path):
    with open(log_path, encoding="utf-8") as log:
        return [e for e in map(json.loads, log) if e.get("event") == "wrote"]


def shown(driver):
    """The cycle and every value on the page, read in one go so they belong together."""
    return driver.execute_script("""
        const values = {};
        for (const dd of document.querySelectorAll('dd[data-column]')) {
          values[dd.dataset.column] = dd.querySelector('.value').textContent;
        }
        const row = document.querySelector('#alarms tr[data-key="%s"]');
        return {cycle: Number(document.body.dataset.cycle || 0), values,
                state: row ? row.dataset.state : null};
    """ % OVER_VOLTAGE_A)


def wait_for(driver, what, seconds, condition):
    try:
        return WebDriverWait(driver, seconds, poll_frequency=0.1).until(lambda d: condition(d))
    except TimeoutException:
        check(False, f"timed out waiting for {what}")
        return None


def check_values(driver, log_path):
    page = shown(driver)
    cycles = served_cycles(log_path)
    check(page["cycle"] in cycles, f"cycle {page['cycle']} is in the simulator's log")
    if page["cycle"] not in cycles:
        return
    bank = cycles[page["cycle"]]
    check(set(page["values"]) == set(REGISTERS), f"the page shows every quantity: {sorted(page['values'])}")
    for column, text in page["values"].items():
        if column in REGISTERS:
            check(text == expected_text(bank, column),
                  f"cycle {page['cycle']} {column}: page {text}, meter {expected_text(bank, column)}")


def check_health_layout(driver, width):
    """Errors counted, the last one's text long: every label keeps a readable width."""
    labels = driver.execute_script("""
        return [...document.querySelectorAll('#health dt')].map((dt) => [dt.textContent,
            dt.getBoundingClientRect().width, dt.getBoundingClientRect().height]);""")
    error = driver.execute_script("return document.querySelector('#health dd[data-health=\"last_error\"]').textContent")
    check(error != "none", f"an error is counted at {width}: {error}")
    narrow = [label for label, w, h in labels if w < 80 or h > 60]
    check(labels and not narrow, f"the health card's labels keep their width at {width}: {narrow}")


def check_history_chart(driver, period):
    """The chart of a period draws what the API serves for its span, at the period's resolution."""
    driver.find_element(By.CSS_SELECTOR, f'#history-card [data-period="{period}"]').click()
    wait_for(driver, f"the {period} chart", 30, lambda d: d.execute_script(
        "return document.querySelector('#history-card [data-period=\"%s\"]').getAttribute('aria-pressed') === 'true'"
        " && / rows?, /.test(document.getElementById('history-span').textContent)" % period))
    drawn = driver.execute_async_script("""
        const done = arguments[arguments.length - 1];
        const chart = page.history.chart;
        const resolution = document.getElementById('history-card').dataset.resolution;
        const column = resolution === 'raw' ? 'total_active_power_kw' : 'total_active_power_kw_mean';
        const total = chart.data.datasets.find((d) => !d.band).data;
        const span = [chart.options.scales.x.min, chart.options.scales.x.max].map((t) => new Date(t).toISOString());
        fetch(`/api/devices/1/history?resolution=${resolution}&from=${span[0]}&to=${span[1]}&limit=5000`)
          .then((r) => r.json()).then((a) => done({resolution, bands: chart.data.datasets.filter((d) => d.band).length,
            breaks: total.filter((p) => p.y === null).length,
            shown: total.filter((p) => p.y !== null).map((p) => [p.x, p.y]),
            served: a.rows.filter((r) => r[column] !== null).map((r) => [Date.parse(r.utc), r[column]])}));
    """)
    resolution = {"hour": "raw", "day": "minute"}.get(period, "hour")
    check(drawn["resolution"] == resolution, f"the {period} chart is drawn from {resolution} rows: {drawn['resolution']}")
    # Rows stored after the chart was drawn may follow, and the newest
    # minute's or hour's aggregate changes with them; nothing else does.
    shown, served = drawn["shown"], drawn["served"]
    check(shown and served[:len(shown) - 1] == shown[:-1],
          f"the {period} chart shows the {len(served)} values the API serves: {shown[:3]} vs {served[:3]}")
    check((drawn["bands"] > 0) == (resolution != "raw"), f"the {period} chart has a band only for aggregates: {drawn}")
    return drawn


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--config", required=True)
    parser.add_argument("--screenshot", required=True)
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix="qv5810_page_")
    log_path = os.path.join(work, "sim.log")
    with open(args.config, encoding="utf-8") as f:
        config = json.load(f)
    config["devices"][0]["name"] = MARKUP_NAME
    threshold = config["devices"][0]["thresholds"][OVER_VOLTAGE_A]["value"]
    config_path = os.path.join(work, "config.json")
    with open(config_path, "w", encoding="utf-8") as f:
        json.dump(config, f)

    # The over-voltage episode begins when the test signals the simulator,
    # once the page is watching: however slowly the browser starts, it
    # cannot pass unseen.
    users_path = os.path.join(work, "users")
    with open(users_path, "w", encoding="utf-8") as users:
        subprocess.run([args.host, "passwd", USER], input=PASSWORD + "\n", stdout=users, text=True, check=True)
    events_path = os.path.join(work, "events.json")
    history_path = os.path.join(work, "history.db")
    with open(events_path, "w", encoding="utf-8") as events:
        host, url = start_host(
            [args.host, "--plugin", args.plugin, "--config", config_path, "--http", "127.0.0.1:0", "--allow-writes",
             "--http-users", users_path, "--interval", "0.5", "--timeout-ms", "300", "--json",
             "--history", history_path, "--history-batch-s", "0.5",
             f"--sim-arg=--log={log_path}", "--sim-arg=--overvoltage-on-usr1", "--sim-arg=--overvoltage-cycles=6"],
            "live view at ", stdout=events)
    if url is None:
        print("qmxhost did not start its live view", file=sys.stderr)
        return 1

    def start_event():
        with open(events_path, encoding="utf-8") as events:
            first = events.readline()
        return json.loads(first) if first.endswith("\n") else None
    simulator = wait_until("qmxhost to say where its simulator runs", start_event)["simulator_pid"]

    options = Options()
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                 "--window-size=1400,2200", "--lang=en", f"--host-resolver-rules=MAP {REBOUND} 127.0.0.1"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    options.binary_location = "/usr/bin/chromium"
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        driver.get(url)
        wait_for(driver, "the second cycle", 60, lambda d: shown(d)["cycle"] >= 2)
        check_values(driver, log_path)

        badge = driver.find_element(By.ID, "freshness")
        check(badge.get_attribute("data-stale") == "false", f"not marked stale: {badge.text}")
        check(badge.text.startswith("live"), f"freshness reads live: {badge.text}")

        identity = driver.find_element(By.ID, "identity").text
        check(MARKUP_NAME in identity, f"the configured name is shown as text: {identity}")
        check(driver.execute_script("return document.body.dataset.injected === undefined"
                                    " && document.querySelectorAll('#identity *').length === 0"),
              "no markup from the configuration became part of the page")

        alarms_up = driver.find_element(By.ID, "alarms-up")
        check(alarms_up.text == "no alarm up", f"the top says no alarm is up: {alarms_up.text}")

        os.kill(simulator, signal.SIGUSR1)
        wait_for(driver, "the phase A over-voltage row up", 60, lambda d: shown(d)["state"] == "up")
        up = shown(driver)
        rows_up = len(driver.find_elements(By.CSS_SELECTOR, '#alarms tr[data-state="up"]'))
        check(driver.execute_script("return document.querySelector('#alarms tbody tr').dataset.state") == "up",
              "the rules up come first")
        check(alarms_up.get_attribute("data-up") == str(rows_up) and "up" in alarms_up.get_attribute("class").split(),
              f"the top counts the {rows_up} rules up: {alarms_up.text}")
        bank = served_cycles(log_path).get(up["cycle"])
        check(bank is not None and float(expected_text(bank, PHASE_VOLTAGE_A)) > threshold,
              f"the row is up in cycle {up['cycle']}, where the meter served phase A above {threshold}")
        # Read in one go: the rows are made anew at every refresh.
        colours = driver.execute_script("""
            const colour = (css) => getComputedStyle(document.querySelector(css)).backgroundColor;
            return [colour('#alarms tr[data-key="%s"]'), colour('#alarms tr[data-state="normal"]')];
        """ % OVER_VOLTAGE_A)
        check(colours[0] != colours[1], "a row that is up stands out")
        check_values(driver, log_path)
        driver.save_screenshot(args.screenshot)

        wait_for(driver, "the phase A over-voltage row back down", 60, lambda d: shown(d)["state"] == "normal")
        down = shown(driver)
        bank = served_cycles(log_path).get(down["cycle"])
        check(bank is not None and float(expected_text(bank, PHASE_VOLTAGE_A)) <= threshold,
              f"the row is down in cycle {down['cycle']}, where phase A is back at or below {threshold}")

        # The meter stops answering: amber while its last cycle failed, and
        # its errors listed, before the values turn stale.
        os.kill(simulator, signal.SIGSTOP)
        wait_for(driver, "the badge to say the meter fails", 60,
                 lambda d: d.find_element(By.ID, "freshness").get_attribute("data-failing") == "true")
        badge = driver.find_element(By.ID, "freshness")
        check(badge.text.startswith("FAILING") and badge.get_attribute("data-stale") == "false",
              f"amber, not stale: {badge.text}")
        check(badge.value_of_css_property("background-color") not in
              (driver.find_element(By.ID, "alarms-up").value_of_css_property("background-color"),),
              "the failing badge is not the green of a good state")
        wait_for(driver, "a meter_error in the events", 30,
                 lambda d: d.find_elements(By.CSS_SELECTOR, "#events li.meter_error"))
        os.kill(simulator, signal.SIGCONT)
        wait_for(driver, "the badge live again", 60,
                 lambda d: d.find_element(By.ID, "freshness").text.startswith("live"))
        check(driver.execute_script("return page.chart.data.datasets.every((s) => s.data.some((p) => p.y === null))"),
              "the trend breaks where cycles failed rather than drawing across them")
        check_health_layout(driver, "1400 px")
        rises = driver.execute_script("return [...document.querySelectorAll('#alarm-history li')].map((li) => li.textContent)")
        check(any("phase 1 voltage high UP" in r for r in rises) and any("phase 1 voltage high cleared" in r for r in rises),
              f"the alarm's rise and clear are listed: {rises}")
        # The history chart, for each period; the cycles the meter did not
        # answer leave a break in the hour's line.
        hour = check_history_chart(driver, "hour")
        check(hour["breaks"] > 0, "the hour's line breaks where the meter did not answer")
        check_history_chart(driver, "day")
        driver.execute_script("document.getElementById('history-card').scrollIntoView()")
        driver.save_screenshot(args.screenshot.replace(".png", "-history.png"))
        for period in ("week", "month", "year"):
            check_history_chart(driver, period)
        # A range is typed on the site's clock, whatever the browser's: 10:00
        # in Kolkata (UTC+5:30) is 04:30 UTC.
        asked = driver.execute_script(
            "const zone = page.zone; page.zone = 'Asia/Kolkata';"
            "document.getElementById('history-from').value = '2026-03-01T10:00';"
            "document.getElementById('history-to').value = '2026-03-01T12:00';"
            "document.getElementById('history-range').click(); page.zone = zone;"
            "return [new Date(page.history.from).toISOString(), new Date(page.history.to).toISOString()]")
        check(asked == ["2026-03-01T04:30:00.000Z", "2026-03-01T06:30:00.000Z"], f"the range on the site's clock: {asked}")

        # The energy bars are the counters' differences the API served, in kWh.
        for by in ("hour", "day"):
            driver.find_element(By.CSS_SELECTOR, f'#energy-history-card [data-by="{by}"]').click()
            bars = wait_for(driver, f"the energy by {by}", 30, lambda d: d.execute_script(
                "const e = page.energy; return e.answer && document.getElementById('energy-history-card').dataset.by"
                " === arguments[0] && e.answer.by === arguments[0] && [e.chart.data.datasets[0].data,"
                " e.answer.periods.map((p) => p.active_energy_pos_wh)]", by))
            if bars:
                drawn, served = bars
                check(len(drawn) == len(served) and all(
                    (d is None and s is None) or (d is not None and s is not None and abs(d * 1000 - s) < 1e-6)
                    for d, s in zip(drawn, served)), f"the {by} bars are the API's energies in kWh: {drawn[-3:]} vs {served[-3:]}")
                check(served and served[-1], f"energy was used in the last {by}: {served[-3:]}")

        # An empty trend says so rather than drawing an axis of midnights.
        empty = driver.execute_script("page.chart.data.datasets.forEach((s) => { s.data = []; }); updateTrend();"
                                      "return [getComputedStyle(document.getElementById('trend-empty')).display,"
                                      " getComputedStyle(document.getElementById('trend')).visibility]")
        check(empty == ["flex", "hidden"], f"an empty trend says 'no data yet': {empty}")
        bad_json = [e["message"] for e in driver.get_log("browser") if "not valid JSON" in e["message"]]
        check(not bad_json, f"every event the page takes is its own: {bad_json}")

        # Writing needs a login: the form shows once the password is right.
        check(not driver.find_element(By.ID, "write-form").is_displayed(), "no write form before the login")
        check(driver.find_element(By.ID, "write-login").is_displayed(), "the write card says how to log in")
        check(driver.find_element(By.ID, "login-card").is_displayed(), "the login is offered")
        driver.find_element(By.ID, "login-user").send_keys(USER)
        driver.find_element(By.ID, "login-password").send_keys("wrong")
        driver.find_element(By.CSS_SELECTOR, "#login-form button").click()
        wait_for(driver, "the wrong password refused", 30,
                 lambda d: d.find_element(By.ID, "login-answer").text.startswith("not logged in"))
        driver.find_element(By.ID, "login-password").clear()
        driver.find_element(By.ID, "login-password").send_keys(PASSWORD)
        driver.find_element(By.CSS_SELECTOR, "#login-form button").click()
        wait_for(driver, "the write form after the login", 30,
                 lambda d: d.find_element(By.ID, "write-form").is_displayed())
        check(f"logged in as {USER}" in driver.find_element(By.ID, "account").text, "the page says who is logged in")

        driver.find_element(By.ID, "write-address").send_keys("256")
        driver.find_element(By.ID, "write-values").send_keys("4660")
        driver.find_element(By.CSS_SELECTOR, "#write-form button").click()
        answer = driver.find_element(By.ID, "write-answer")
        # No register of this meter is documented as writable: asked first.
        check("ask" in answer.get_attribute("class").split() and "not a documented setting" in answer.text,
              f"a write to an undocumented address asks to be confirmed: {answer.text}")
        check(not wrote_events(log_path), "nothing written before the confirmation")
        driver.find_element(By.CSS_SELECTOR, "#write-form button").click()
        wait_for(driver, "the write's answer", 30, lambda d: answer.text not in ("", "writing…") and
                 "ask" not in answer.get_attribute("class").split())
        check("confirmed" in answer.get_attribute("class").split(), f"the write is confirmed: {answer.text}")
        check(answer.text.startswith("confirmed (status 1)"), f"the answer says so: {answer.text}")
        check(any(e["address"] == 256 and e["values"] == [4660] for e in wrote_events(log_path)),
              "the simulated meter received the write")

        # Another site's page, its name rebound to the bench host, tries the
        # same with the session of the person who opens it: its own origin
        # is refused for the Host it names, and a request from it to the
        # bench host's own address for its Origin.
        port = url.rstrip("/").rsplit(":", 1)[1]
        before = shown(driver)["cycle"]
        driver.get(f"http://{REBOUND}:{port}/")
        attempts = driver.execute_async_script("""
            const done = arguments[arguments.length - 1];
            const body = JSON.stringify({address: 256, values: [4097]});
            const post = (to, mode) => fetch(to, {method: 'POST', mode, credentials: 'include',
                headers: {'Content-Type': 'application/json'}, body})
              .then((r) => r.status, () => 'blocked');
            Promise.all([post('/api/devices/1/registers', 'same-origin'),
                         post('%s' + 'api/devices/1/registers', 'no-cors')]).then(done);
        """ % url)
        check(attempts[0] == 421, f"the rebound name is refused: {attempts[0]}")
        driver.get(url)
        # A write let through would have been carried out after the next cycle.
        wait_for(driver, "two cycles more", 60, lambda d: shown(d)["cycle"] >= before + 2)
        check(not any(e["values"] == [4097] for e in wrote_events(log_path)),
              f"another site's page wrote nothing ({attempts})")

        # Another client holds the address's share of event streams: the
        # page says its stream was refused, and opens it once one is free.
        driver.get("about:blank")
        held = []

        def hold_a_stream():
            # The page's own stream is let go once the server writes to it again.
            connection = socket.create_connection(("127.0.0.1", int(port)))
            connection.sendall(b"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            if connection.recv(12) == b"HTTP/1.1 200":
                held.append(connection)
                return True
            connection.close()
            return False
        for _ in range(8):
            wait_until("a stream held", hold_a_stream)
        driver.get(url)
        wait_for(driver, "the page to say its stream was refused", 30,
                 lambda d: "trying again" in d.find_element(By.ID, "stream-state").text)
        for connection in held:
            connection.close()
        wait_for(driver, "the page's stream open again", 90,
                 lambda d: not d.find_element(By.ID, "stream-state").is_displayed())

        # A phone: nothing wider than the screen, every value on it; the meter
        # asked for in the address, unknown here, is said to be so.
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                               {"width": 360, "height": 800, "deviceScaleFactor": 2, "mobile": True})
        driver.get(url + "?device=9")
        cycle = shown(driver)["cycle"]
        wait_for(driver, "a cycle on the phone", 60, lambda d: shown(d)["cycle"] > cycle)
        width = driver.execute_script("return document.documentElement.clientWidth")
        beyond = "return [...document.querySelectorAll(arguments[0])].filter((e) => " \
                 "e.getBoundingClientRect().right > arguments[1] + 0.5).map((e) => e.tagName + '.' + e.className)"
        check(driver.execute_script("return document.documentElement.scrollWidth") <= width,
              f"no horizontal scrolling at 360 px: {driver.execute_script(beyond, 'body *', width)[:6]}")
        off_screen = driver.execute_script(beyond, "dd .value, #alarms td", width)
        check(not off_screen, f"every value within the 360 px screen: {off_screen[:6]}")
        check("No meter has data id 9" in driver.find_element(By.ID, "problem").text, "an unknown meter is said so")
        check_health_layout(driver, "360 px")
        history = wait_for(driver, "the alarm's rise and clear from the history", 30, lambda d: d.execute_script(
            "const rows = [...document.querySelectorAll('#alarm-history li')].map((li) => li.textContent);"
            "return rows.some((r) => r.includes('phase 1 voltage high cleared')) && rows"))
        check(history and any("phase 1 voltage high UP" in r for r in history), f"the rise too: {history}")
        driver.save_screenshot(args.screenshot.replace(".png", "-phone.png"))
        driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})

        # The bench host gone: the page must not go on saying "live".
        check(stop(host), "qmxhost ended on SIGINT")
        wait_for(driver, "the badge to say the values are stale", 30,
                 lambda d: d.find_element(By.ID, "freshness").get_attribute("data-stale") == "true")
        badge = driver.find_element(By.ID, "freshness")
        check(badge.text.startswith("STALE"), f"the badge says so: {badge.text}")
        check(driver.find_element(By.ID, "alarms-up").text == "alarms unknown",
              f"a stale meter's alarms are unknown: {driver.find_element(By.ID, 'alarms-up').text}")
        print(f"screenshot: {args.screenshot}")
    finally:
        driver.quit()
        check(stop(host), "qmxhost ended on SIGINT")
    if failures:
        print(f"{len(failures)} check(s) failed", file=sys.stderr)
        return 1
    print("live page: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
