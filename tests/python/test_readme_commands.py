"""The README's two commands for a fresh machine are what CI runs, and the interpreter path they
hand to the build reaches CMake absolute and unresolved."""
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]


def readme_commands(*options):
    run = subprocess.run([sys.executable, str(ROOT / "tools" / "readme_commands.py"), *options, str(ROOT / "README.md")],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    return run.stdout.splitlines()


def test_the_readme_has_two_one_line_commands_that_ci_runs_in_a_system_with_only_its_prerequisites():
    demo, tests = readme_commands()
    assert "examples/segment_demo.py" in demo and "tools/run_tests.sh" in tests
    # apt's package lists are empty on a fresh machine: update before install.
    assert tests.index("apt-get update") < tests.index("apt-get install")
    # A minimal Debian has neither the interpreter's headers nor its venv module.
    (packages,) = readme_commands("--packages")
    assert {"python3.11-dev", "python3.11-venv", "g++"} <= set(packages.split())
    ci = (ROOT / ".ci" / "run").read_text()
    assert "tools/readme_commands.py README.md" in ci and 'cd /root/sarvo_functions && $command"' in ci
    assert 'chroot.sh make "$chroots/bookworm" bookworm amd64 $(python3 tools/readme_commands.py --packages README.md)' in ci


def test_a_section_with_a_third_or_a_wrapped_command_or_without_its_packages_is_refused(tmp_path):
    good = (ROOT / "README.md").read_text()
    for bad in (good.replace("```sh\napt-get update", "```sh\necho extra\n```\n\n```sh\napt-get update"),
                good.replace(" && tools/run_tests.sh", " \\\n  && tools/run_tests.sh")):
        (tmp_path / "README.md").write_text(bad)
        run = subprocess.run([sys.executable, str(ROOT / "tools" / "readme_commands.py"), str(tmp_path / "README.md")],
                             capture_output=True, text=True)
        assert run.returncode == 1 and "expected two one-line commands" in run.stderr
    (tmp_path / "README.md").write_text(good.replace("`apt-get install python3.11 ", "`python3.11 "))
    run = subprocess.run([sys.executable, str(ROOT / "tools" / "readme_commands.py"), "--packages", str(tmp_path / "README.md")],
                         capture_output=True, text=True)
    assert run.returncode == 1 and "no `apt-get install" in run.stderr


def test_a_relative_venv_interpreter_becomes_absolute_without_leaving_the_venv(tmp_path):
    # CMake's Python finder rejects a relative path and falls back to another interpreter;
    # resolving the venv's link would pick the base interpreter and its packages.
    bin_dir = tmp_path / "venv" / "bin"
    bin_dir.mkdir(parents=True)
    (bin_dir / "python").symlink_to(sys.executable)
    run = subprocess.run(["bash", "-c", f'source "{ROOT}/tools/lib.sh" && absolute_interpreter venv/bin/python'],
                         capture_output=True, text=True, cwd=tmp_path, env=dict(os.environ))
    assert run.returncode == 0 and run.stdout.strip() == str(bin_dir / "python"), run.stderr
