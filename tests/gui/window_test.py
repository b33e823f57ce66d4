#!/usr/bin/env python3
"""The program's window driven as a person would, on a virtual display.

Each test starts Xvfb with a tray host (trayer), the demo package's loopback
servers and the real program, clicks and types with xdotool, and checks every
step twice: in the screenshot (the pixels of the areas: the button that shows,
the bars' lengths, the texts drawn, the corners cut) and in the controller's
state (its log lines, which the program writes to standard error under
PELICANFETCH_DEBUG). Screenshots of the main states are written to --shots.

    window_test.py --program PELICANFETCH --pftool PFTOOL --repo REPO --art ART_PNG_DIR --shots DIR

Exit status 77 when a tool it needs is missing (the test is then skipped).
Traffic stays on loopback.
"""
import argparse
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

try:
    from PIL import Image, ImageChops
except ImportError:  # reported as a skip below
    Image = None

ARGS = None
KEY = (232, 5, 246)
WINDOW_TITLE = "Velmora下载器"
# Client pixels of the window's parts (the window sits at the screen's top-left).
ACTION_BUTTON = (318, 244)
SETTINGS_BUTTON = (318, 10)
CLOSE_BUTTON = (374, 10)
BAR = (11, 244, 297, 256)
VERSION_AREA = (9, 205, 130, 230)
PERCENT_AREA = (262, 260, 312, 280)
STATUS_AREA = (129, 260, 190, 280)
LIST_TOGGLE = (200, 292)
ART = {"start": 198, "pause": 202, "resume": 210, "install": 231, "background": 186, "trough": 170,
       "download": 171, "verify": 172, "background_list": 140}


def run(*command, **kw):
    return subprocess.run(command, check=False, capture_output=True, text=True, **kw)


class Session:
    """Xvfb, the tray host, the package servers and the program, all stopped at the end."""

    def __init__(self, name, extra_args=(), server_rate="200k"):
        self.work = tempfile.mkdtemp(prefix="pf-gui-%s-" % name)
        self.processes = []
        self.display = None  # chosen by Xvfb when the session starts
        self.env = dict(os.environ, XDG_DATA_HOME=os.path.join(self.work, "data"),
                        XDG_RUNTIME_DIR="", TMPDIR=self.work, PELICANFETCH_DEBUG="1", NO_AT_BRIDGE="1")
        self.servers = os.path.join(self.work, "servers")
        self.save = os.path.join(self.work, "save")
        self.extra_args = list(extra_args)
        self.server_rate = server_rate
        self.cwd = None  # the program's working directory (where res/ skins are looked for)
        self.stderr_path = os.path.join(self.work, "program.err")

    def start(self):
        # Xvfb picks a free display itself and writes its number to a pipe.
        read_end, write_end = os.pipe()
        xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                                 "-nolisten", "tcp"], pass_fds=(write_end,), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)
        self.processes.append(xvfb)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            number = numbers.readline().strip()
        if not number.isdigit():
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number
        self.env["DISPLAY"] = self.display
        self._spawn(["trayer", "--edge", "bottom", "--align", "right", "--widthtype", "pixel", "--width", "200",
                     "--heighttype", "pixel", "--height", "32"], "trayer.log")
        result = run(os.path.join(ARGS.repo, "scripts", "package-servers"), "start", "demo",
                     ARGS.content, self.servers,
                     env=dict(os.environ, PFTOOL=ARGS.pftool, SERVER_RATE=self.server_rate or ""))
        if result.returncode != 0:
            raise RuntimeError("package servers: " + result.stdout + result.stderr)
        self.servers_started = True
        self.program = self._spawn([ARGS.program, "--no-upnp", "--save", self.save] + self.extra_args, None,
                                   stderr=open(self.stderr_path, "w"), cwd=self.cwd)
        self.window = self.wait_window(WINDOW_TITLE)

    def restart(self):
        """The program again, on the same data (a user's next start)."""
        self.program = self._spawn([ARGS.program, "--no-upnp", "--save", self.save] + self.extra_args, None,
                                   stderr=open(self.stderr_path, "a"))
        self.window = self.wait_window(WINDOW_TITLE)
        if not self.window:
            raise RuntimeError("the window did not show again")
        time.sleep(1.0)

    def _spawn(self, command, log, stderr=None, cwd=None):
        out = open(os.path.join(self.work, log), "w") if log else subprocess.DEVNULL
        process = subprocess.Popen(command, env=self.env, stdout=out, stderr=stderr or subprocess.STDOUT,
                                   start_new_session=True, cwd=cwd)
        # The child holds its own copies of the files.
        for handle in (out, stderr):
            if handle not in (None, subprocess.DEVNULL):
                handle.close()
        self.processes.append(process)
        return process

    def stop(self):
        if getattr(self, "servers_started", False):
            run(os.path.join(ARGS.repo, "scripts", "package-servers"), "stop", self.servers)
        for process in reversed(self.processes):
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
        shutil.rmtree(self.work, ignore_errors=True)

    # --- the program ---
    def log(self):
        with open(self.stderr_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def wait_state(self, name, seconds=60):
        """Waits for the controller's log line of entering state `name`."""
        return self.wait_line("下载状态改变为" + name + "]", seconds)

    def wait_line(self, line, seconds=60):
        deadline = time.time() + seconds
        while time.time() < deadline:
            if line in self.log():
                return True
            if self.program.poll() is not None:
                break
            time.sleep(0.1)
        return line in self.log()

    def windows(self, visible=True):
        """The program's windows by name (names are matched here: xdotool's own
        name search does not match non-ASCII titles)."""
        search = ["xdotool", "search"] + (["--onlyvisible"] if visible else []) + ["--pid", str(self.program.pid)]
        found = {}
        for window in run(*search, env=self.env).stdout.split():
            found.setdefault(run("xdotool", "getwindowname", window, env=self.env).stdout.strip(), []).append(window)
        return found

    def wait_gone(self, name, seconds=10):
        """Waits until no visible window of the program has that name."""
        deadline = time.time() + seconds
        while self.windows().get(name):
            if time.time() >= deadline:
                return False
            time.sleep(0.1)
        return True

    def wait_window(self, name, seconds=20, visible=True, exclude=None):
        deadline = time.time() + seconds
        while True:
            windows = [w for w in self.windows(visible).get(name, []) if w != exclude]
            if windows or time.time() >= deadline:
                return windows[0] if windows else None
            time.sleep(0.1)

    def tray_icon(self):
        """The centre of the program's icon in the tray host, if it shows one."""
        for window in run("xdotool", "search", "--onlyvisible", "--pid", str(self.program.pid),
                          env=self.env).stdout.split():
            geometry = run("xdotool", "getwindowgeometry", "--shell", window, env=self.env).stdout
            values = dict(line.split("=", 1) for line in geometry.split() if "=" in line)
            width, height = int(values.get("WIDTH", 0)), int(values.get("HEIGHT", 0))
            if 0 < width <= 64 and 0 < height <= 64 and int(values.get("Y", 0)) > 600:
                return int(values["X"]) + width // 2, int(values["Y"]) + height // 2
        return None

    def click(self, x, y, window=None):
        # Clicks, then takes the pointer away so that no hover look stays.
        run("xdotool", "mousemove", str(x), str(y), "click", "1", env=self.env)
        time.sleep(0.2)
        run("xdotool", "mousemove", "600", "600", env=self.env)
        time.sleep(0.3)

    def keys(self, *keys, window=None):
        """Types keys into `window` (there is no window manager to give it the focus)."""
        if window:
            run("xdotool", "windowfocus", "--sync", window, env=self.env)
        run("xdotool", "key", *keys, env=self.env)
        time.sleep(0.3)

    def type_text(self, text):
        run("xdotool", "type", "--delay", "50", text, env=self.env)
        time.sleep(0.3)

    def screenshot(self, name=None, with_dialogs=False):
        """The screen; with a name also saved for people to look at: the window
        alone, or with the dialogs over it."""
        path = os.path.join(self.work, "screen.png")
        run("import", "-window", "root", path, env=self.env)
        image = Image.open(path).convert("RGB")
        if name and ARGS.shots:
            os.makedirs(ARGS.shots, exist_ok=True)
            geometry = run("xdotool", "getwindowgeometry", self.window, env=self.env).stdout
            size = re.search(r"Geometry: (\d+)x(\d+)", geometry)
            width, height = (int(size.group(1)), int(size.group(2))) if size else (411, 307)
            if with_dialogs:
                width, height = 640, 480
            image.crop((0, 0, width, height)).save(os.path.join(ARGS.shots, name + ".png"))
        return image


def eventually(check, seconds=10):
    """Whether `check()` holds within the time (the machine may be busy)."""
    deadline = time.time() + seconds
    while not check():
        if time.time() >= deadline:
            return False
        time.sleep(0.2)
    return True


def art(name_or_id):
    number = ART.get(name_or_id, name_or_id)
    return Image.open(os.path.join(ARGS.art, "%d.png" % number)).convert("RGB")


def differing(image, box, reference, reference_box=None):
    """How many pixels of `box` in `image` differ from the reference's."""
    a = image.crop(box)
    b = reference.crop(reference_box or box) if reference_box or reference.size != a.size else reference
    if b.size != a.size:
        b = b.crop((0, 0) + a.size)
    diff = ImageChops.difference(a, b).convert("L")
    return sum(1 for value in diff.getdata() if value > 24)


def shows_button(image, which):
    """Whether the action button's place shows that button's normal bitmap
    (its key-coloured corners are the window's, so only its inside counts)."""
    bitmap = art(which)
    w, h = bitmap.size
    x, y = ACTION_BUTTON
    inner = (w // 4, h // 4, 3 * w // 4, 3 * h // 4)
    box = (x + inner[0], y + inner[1], x + inner[2], y + inner[3])
    return differing(image, box, bitmap.crop(inner)) < (inner[2] - inner[0]) * (inner[3] - inner[1]) // 20


def bar_length(image, which):
    """How many pixels from the bar's left edge show bitmap `which`."""
    bitmap = art(which)
    left, top, right, _ = BAR
    length = 0
    for x in range(right - left):
        a = image.getpixel((left + x, top + 6))
        b = bitmap.getpixel((min(x, bitmap.size[0] - 1), 6))
        if sum(abs(p - q) for p, q in zip(a, b)) > 30:
            break
        length += 1
    return length


def percent_shown(image):
    """Pixels of the percent area that are not the background's (text drawn)."""
    return differing(image, PERCENT_AREA, art("background"))


class WindowTest(unittest.TestCase):
    def session(self, name, *extra, server_rate="200k"):
        session = Session(name, extra, server_rate)
        self.addCleanup(session.stop)
        session.start()
        self.assertIsNotNone(session.window, "the window never showed")
        time.sleep(1.0)
        return session

    def test_start_pause_resume_finish_verify_install(self):
        s = self.session("run", "--limit", "1500")
        self.assertTrue(eventually(lambda: shows_button(s.screenshot(), "start")), "the Start button does not show")
        image = s.screenshot("ready")
        # The shape: the colour key of the corners is cut away, never drawn.
        self.assertNotEqual(image.getpixel((0, 0)), KEY)
        self.assertNotEqual(image.getpixel((410, 306)), KEY)
        self.assertGreater(differing(image, VERSION_AREA, art("background")), 30, "no version text")

        s.click(ACTION_BUTTON[0] + 20, ACTION_BUTTON[1] + 20)
        self.assertTrue(s.wait_state("downloading", 30), s.log()[-2000:])
        # The bar and the percent follow the pieces as they are written; the
        # status shows the speed.
        self.assertTrue(eventually(lambda: shows_button(s.screenshot(), "pause")),
                        "Pause does not show while downloading")
        self.assertTrue(eventually(lambda: differing(s.screenshot(), STATUS_AREA, image) > 5),
                        "no speed shown while downloading")
        first = s.screenshot()
        grown = None
        for _ in range(40):
            time.sleep(0.5)
            later = s.screenshot()
            if bar_length(later, "download") > bar_length(first, "download"):
                grown = later
                break
        self.assertIsNotNone(grown, "the bar did not grow")
        changed = False
        for _ in range(6):  # the texts follow once a second
            changed = differing(first, PERCENT_AREA, s.screenshot()) > 5
            if changed:
                break
            time.sleep(0.5)
        self.assertTrue(changed, "the percent did not change")
        s.screenshot("downloading")
        s.click(ACTION_BUTTON[0] + 20, ACTION_BUTTON[1] + 20)
        self.assertTrue(s.wait_state("pause", 10))
        self.assertTrue(eventually(lambda: shows_button(s.screenshot(), "resume")), "Resume does not show when paused")
        s.screenshot("paused")
        s.click(LIST_TOGGLE[0], LIST_TOGGLE[1])
        self.assertTrue(eventually(lambda: s.screenshot().getpixel((5, 330)) != (0, 0, 0)), "the list area is not drawn")
        time.sleep(1.2)  # the rows' texts follow within a second
        s.screenshot("file-list")
        s.click(LIST_TOGGLE[0], LIST_TOGGLE[1])

        s.click(ACTION_BUTTON[0] + 20, ACTION_BUTTON[1] + 20)
        self.assertTrue(s.wait_state("resume", 10))
        self.assertTrue(s.wait_state("finished", 120), s.log()[-2000:])
        self.assertTrue(eventually(lambda: shows_button(s.screenshot(), "install")), "Install does not show when finished")
        done = s.screenshot("finished")
        self.assertGreaterEqual(bar_length(done, "download"), BAR[2] - BAR[0] - 1, "the bar is not full")

        s.click(ACTION_BUTTON[0] + 20, ACTION_BUTTON[1] + 20)
        question = s.wait_window(WINDOW_TITLE, 10, exclude=s.window)
        self.assertIsNotNone(question, "no verify question")
        s.keys("Return", window=question)  # "yes" is chosen when it opens
        # Verified (the state may pass faster than the 100 ms evaluation sees it).
        self.assertTrue(s.wait_line("Report Event : (11100004)", 60), s.log()[-2000:])
        s.program.wait(30)
        self.assertEqual(s.program.returncode, 0, s.log()[-2000:])
        marker = os.path.join(s.save, "QLN156", "demo-installed")
        for _ in range(50):
            if os.path.exists(marker):
                break
            time.sleep(0.1)
        self.assertTrue(os.path.exists(marker), "the installer did not run")

    def test_redraws_follow_the_state_at_full_speed(self):
        # The servers at full speed: the four tasks download as fast as they can
        # while the window shows every state the timers see.
        s = self.session("speed", "--start", "--exit-on-finish", server_rate=None)
        s.program.wait(60)
        self.assertEqual(s.program.returncode, 0, s.log()[-2000:])
        waits = re.findall(r"窗口重绘: 状态改变后最长 (\d+) ms", s.log())
        self.assertEqual(len(waits), 1, s.log()[-2000:])
        self.assertLess(int(waits[0]), 200, "a state change waited too long for its redraw")

    def test_a_background_of_the_users_own_replaces_the_art(self):
        s = Session("skin", ())
        self.addCleanup(s.stop)
        skin = os.path.join(s.work, "res")
        os.makedirs(skin)
        Image.new("RGB", (411, 307), (10, 120, 200)).save(os.path.join(skin, "bg2.bmp"))
        s.cwd = s.work
        s.start()
        self.assertIsNotNone(s.window)
        self.assertTrue(eventually(lambda: s.screenshot().getpixel((100, 100)) == (10, 120, 200)),
                        "res/bg2.bmp was not drawn")

    def test_settings_warn_about_a_rate_out_of_range(self):
        s = self.session("settings")
        s.click(SETTINGS_BUTTON[0] + 10, SETTINGS_BUTTON[1] + 10)
        dialog = s.wait_window("下载设置", 10)
        self.assertIsNotNone(dialog, "the settings dialog did not open")
        s.keys("space", window=dialog)  # tick the limit: 200 shows
        s.keys("Tab", "ctrl+a", window=dialog)
        s.type_text("5")
        s.keys("Return", window=dialog)  # "设置"
        self.assertIsNotNone(s.wait_window("警告", 10), "no range warning")
        s.screenshot("settings-warning", with_dialogs=True)
        self.assertIsNotNone(s.wait_window("下载设置", 2), "the dialog closed on a bad rate")

    def test_close_prompt_tray_and_remembered_exit(self):
        s = self.session("close")
        s.click(CLOSE_BUTTON[0] + 10, CLOSE_BUTTON[1] + 10)
        prompt = s.wait_window("关闭", 10)
        self.assertIsNotNone(prompt, "no close prompt")
        s.screenshot("close-prompt", with_dialogs=True)
        s.keys("Return", window=prompt)  # the tray is chosen when it opens
        time.sleep(1.0)
        self.assertTrue(s.wait_gone(WINDOW_TITLE), "the window did not hide to the tray")
        self.assertIsNone(s.program.poll(), "hiding to the tray ended the program")
        # Its icon sits in the tray host: a double click brings the window back.
        icon = s.tray_icon()
        self.assertIsNotNone(icon, "no icon in the tray")
        run("xdotool", "mousemove", str(icon[0]), str(icon[1]), "click", "--repeat", "2", "--delay", "80", "1",
            env=s.env)
        self.assertIsNotNone(s.wait_window(WINDOW_TITLE, 10), "a double click on the icon did not restore")
        self.assertTrue(eventually(lambda: s.tray_icon() is None), "the icon stayed in the tray")
        s.click(CLOSE_BUTTON[0] + 10, CLOSE_BUTTON[1] + 10)
        prompt = s.wait_window("关闭", 10)
        self.assertIsNotNone(prompt, "the tray choice was remembered without being asked to")
        s.keys("Return", window=prompt)
        self.assertTrue(s.wait_gone(WINDOW_TITLE), "the window did not hide to the tray again")
        # A second start brings the hidden window back.
        again = subprocess.run([ARGS.program], env=s.env, capture_output=True, timeout=20)
        self.assertEqual(again.returncode, 5)
        self.assertIsNotNone(s.wait_window(WINDOW_TITLE, 10), "the window did not come back")

        # Hidden again, then the tray menu's "退出(&X)" ends the program.
        s.click(CLOSE_BUTTON[0] + 10, CLOSE_BUTTON[1] + 10)
        prompt = s.wait_window("关闭", 10)
        self.assertIsNotNone(prompt)
        s.keys("Return", window=prompt)
        self.assertTrue(s.wait_gone(WINDOW_TITLE))
        icon = s.tray_icon()
        self.assertIsNotNone(icon, "no icon in the tray")
        run("xdotool", "mousemove", str(icon[0]), str(icon[1]), "click", "3", env=s.env)
        time.sleep(0.8)
        run("xdotool", "key", "Down", "Return", env=s.env)
        s.program.wait(20)
        self.assertEqual(s.program.returncode, 3, "the tray menu did not end the program")

        # Exit, remembered: the next start's close exits without asking.
        s.restart()
        s.click(CLOSE_BUTTON[0] + 10, CLOSE_BUTTON[1] + 10)
        prompt = s.wait_window("关闭", 10)
        self.assertIsNotNone(prompt)
        s.keys("Down", "space", "Tab", "space", "Return", window=prompt)  # exit, remember, confirm
        s.program.wait(20)
        self.assertEqual(s.program.returncode, 3)
        records = glob.glob(os.path.join(s.env["XDG_DATA_HOME"], "QWVA", "Pelicanfetch", "*", "*.pfconf"))
        records = [r for r in records if os.path.basename(r) != "dataupload.pfconf"]
        self.assertEqual(len(records), 1, records)
        with open(records[0], encoding="utf-8", errors="replace") as record:
            self.assertIn("PelicanfetchCloseSelection=2", record.read())
        s.restart()
        s.click(CLOSE_BUTTON[0] + 10, CLOSE_BUTTON[1] + 10)
        s.program.wait(20)
        self.assertEqual(s.program.returncode, 3, "a remembered exit asked again or did not exit")


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--pftool", required=True)
    parser.add_argument("--repo", required=True)
    parser.add_argument("--art", required=True)
    parser.add_argument("--content", required=True)
    parser.add_argument("--shots", default="")
    ARGS, rest = parser.parse_known_args()
    for name in ("program", "pftool", "repo", "art", "content"):
        setattr(ARGS, name, os.path.abspath(getattr(ARGS, name)))
    missing = [tool for tool in ("Xvfb", "xdotool", "import", "trayer") if not shutil.which(tool)]
    if missing or Image is None:
        print("skipped: missing " + ", ".join(missing + ([] if Image else ["python3-pil"])))
        return 77
    result = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
