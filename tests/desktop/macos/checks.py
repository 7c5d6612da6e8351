"""macOS: nothing is held 0-100 ms after the tool exits (its wait at exit lets the system take its
last events), and what a killed run held stays held, so that the probe's report can fail."""
import subprocess, time


def run(desk, d):
    target = desk.target()
    desk.run(["activate", str(target.pid)]), d.quiet(target)
    for delay in (0, 20, 50, 100):
        status = desk.run(["run", '[{"keyDown":"RightShift"}]', str(target.pid)])
        time.sleep(delay / 1000)
        d.check(f"macos: exit wait {delay} ms: result, held", (status, desk.held()),
                ((0, '{"ok":true,"done":1}\n', ""), "held none"))
    target.skip()
    killed = subprocess.Popen(desk.tool + ["run", '[{"keyDown":"RightShift"},{"wait":10000}]'])
    d.check("macos: a killed run: key down", target.wait_for("key down RightShift"), True)
    killed.kill(), killed.wait()
    d.check("macos: a killed run: held", desk.held(), "held RightShift")
    desk.run(["run", '[{"keyUp":"RightShift"}]'])
    d.check("macos: released after a killed run: held", desk.held(), "held none")
    target.close()
