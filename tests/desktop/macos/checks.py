"""macOS: nothing is held 0-100 ms after the tool exits (its wait at exit lets the system take its
last events), and what a killed run held stays held, so that the probe's report can fail."""
import subprocess, time


def exit_wait(desk, check):
    target = desk.target()
    desk.run("activate", target.pid)
    desk.quiet(target)
    for delay in (0, 20, 50, 100):
        status = desk.run("run", '[{"keyDown":"RightShift"}]', target.pid)
        time.sleep(delay / 1000)
        check(f"macos: exit wait {delay} ms: result, held", (status, desk.held()),
              ((0, '{"ok":true,"done":1}\n', ""), "held none"))
    target.skip()
    killed = desk.start("run", '[{"keyDown":"RightShift"},{"wait":10000}]')
    check("macos: a killed run: key down", target.wait_for("key down RightShift"), True)
    killed.kill()
    killed.wait()
    check("macos: a killed run: held", desk.held(), "held RightShift")
    desk.run("run", '[{"keyUp":"RightShift"}]')
    check("macos: released after a killed run: held", desk.held(), "held none")


SECTIONS = [exit_wait]
