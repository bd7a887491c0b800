# SPDX-License-Identifier: MIT
"""meta-orvane against poky's own tools, offline: parsed, resolved, linted,
its licence sum checked and its install done for real with the board's cross
toolchain. Each check is a function that the test of the committed layer
runs and that the planted-fault tests run on a damaged copy of the recipe."""
import fnmatch
import hashlib
import json
import os
import re
import shutil
import subprocess
import sys
import time
import types

import pytest

from bitbake import tail, words

PN = "orvane-updater"


# -- what the project itself says ---------------------------------------------
def project_version(source):
    m = re.search(r"project\(\w+ VERSION ([0-9.]+)", (source / "CMakeLists.txt").read_text())
    return m.group(1)


def changelog_version(source):
    return re.match(r"\S+ \(([^)]+)\)", (source / "debian" / "changelog").read_text()).group(1)


def build_options(source):
    """The project's UPDATER_BUILD_* options: each builds a host tool or the tests."""
    found = set()
    for cml in source.rglob("CMakeLists.txt"):
        if "third_party" not in cml.parts:
            found.update(re.findall(r"option\((UPDATER_BUILD_\w+)", cml.read_text()))
    return found


def startup_files(source):
    """(unit name, init script name) as init/ makes them."""
    init = source / "init"
    unit = [p.name[:-3] for p in init.glob("*.service.in")]
    script = [p.name[:-len(".init.in")] for p in init.glob("*.init.in")]
    assert len(unit) == 1 and len(script) == 1, f"init/ should hold one unit and one init script: {unit} {script}"
    return unit[0], script[0]


def board_tools(check_image, work):
    """{tool: modes} as the image check takes them from the program's own
    command tables: its report on an empty image names every tool."""
    assert check_image and os.access(check_image, os.X_OK), (
        f"the tools by mode come from updater-check-image: --check-image should name the host build's, "
        f"not {check_image!r}")
    empty = work / "empty-image"
    empty.mkdir(exist_ok=True)
    proc = subprocess.run([check_image, "--json", str(empty)], stdout=subprocess.PIPE, text=True)
    assert proc.returncode in (0, 1), f"updater-check-image --json {empty}: status {proc.returncode}"
    return {i["name"][len("tool "):]: set(i["modes"]) for i in json.loads(proc.stdout)["items"]
            if i["name"].startswith("tool ")}


# Where each tool that poky's BusyBox does not give comes from in poky, and
# the recipe holding that package (checked against the recipe's FILES and
# update-alternatives by test_tool_packages_ship_their_tools).
TOOL_PACKAGES = {
    "flash_eraseall": ("mtd-utils", "mtd-utils"),  # mtd-utils 2.x: a script that runs flash_erase
    "ubiformat": ("mtd-utils-ubifs", "mtd-utils"),
    "ubimkvol": ("mtd-utils-ubifs", "mtd-utils"),
    "mkdosfs": ("dosfstools", "dosfstools"),
    "mke2fs": ("e2fsprogs-mke2fs", "e2fsprogs"),
}


def busybox_applets(build):
    defconfig = build.poky / "meta" / "recipes-core" / "busybox" / "busybox" / "defconfig"
    return {m.lower() for m in re.findall(r"^CONFIG_(\w+)=y$", defconfig.read_text(), re.M)}


def expected_recommends(tools, build, modes):
    applets = busybox_applets(build)
    wanted = set()
    for tool, tool_modes in tools.items():
        if not tool_modes & modes or tool in applets:
            continue
        assert tool in TOOL_PACKAGES, (
            f"mode {sorted(tool_modes)} runs {tool}, which poky's BusyBox does not have: name the poky "
            "package that ships it in TOOL_PACKAGES and recommend it for that mode in the recipe")
        wanted.add(TOOL_PACKAGES[tool][0])
    return wanted


# -- the checks ---------------------------------------------------------------------
def check_parse(build, status, out):
    assert status == 0, f"bitbake -p failed with status {status}:\n{tail(out)}"
    # The layer's recipes are always parsed afresh (Build.sync_layer), so that
    # their warnings show on a warm cache too.
    m = re.search(r"Parsing of (\d+) \.bb files complete \((\d+) cached, (\d+) parsed\).* (\d+) errors", out)
    assert m and m.group(4) == "0" and int(m.group(3)) >= 1, (
        f"bitbake -p should report the layer's recipe parsed with no errors:\n{tail(out)}")
    mine = [line for line in out.splitlines()
            if re.match(r"(WARNING|ERROR):", line) and (str(build.layer) in line or PN in line)]
    assert not mine, "bitbake -p warns about the layer:\n" + "\n".join(mine)


def check_graph(build):
    status, out, _ = build.run("bitbake", "-g", PN)
    unresolved = list(dict.fromkeys(re.findall(r"^ERROR: Nothing R?PROVIDES .*$", out, re.M)))
    assert status == 0 and not unresolved, (
        f"bitbake -g {PN}: expected every build and run-time dependency to resolve, found "
        f"status {status}:\n" + ("\n".join(unresolved) or tail(out)))
    buildlist = (build.builddir / "pn-buildlist").read_text().split()
    return buildlist


def lic_entries(env):
    for entry in words(env["LIC_FILES_CHKSUM"]):
        url, *params = entry.split(";")
        assert url.startswith("file://"), f"LIC_FILES_CHKSUM entry {entry}: only file:// is checked here"
        fields = dict(p.split("=", 1) for p in params)
        extra = set(fields) - {"md5"}
        assert not extra, f"LIC_FILES_CHKSUM entry {entry}: this check sums whole files, not {sorted(extra)}"
        yield url[len("file://"):], fields.get("md5")


def check_license(env, source):
    """The sums do_populate_lic would compare, on the checkout and at SRCREV."""
    entries = list(lic_entries(env))
    assert entries, "LIC_FILES_CHKSUM names no file"
    for name, md5 in entries:
        found = hashlib.md5((source / name).read_bytes()).hexdigest()
        assert md5 == found, f"LIC_FILES_CHKSUM gives {name} md5 {md5}; the checkout's {name} has {found}"
        at_rev = subprocess.run(["git", "-C", str(source), "show", f"{env['SRCREV']}:{name}"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        assert at_rev.returncode == 0, f"{name} at SRCREV {env['SRCREV']}: {at_rev.stderr.decode().strip()}"
        found = hashlib.md5(at_rev.stdout).hexdigest()
        assert md5 == found, f"LIC_FILES_CHKSUM gives {name} md5 {md5}; at SRCREV it has {found}"


def oelint_command(build, files):
    bundle = build.oelint()
    path = os.pathsep.join(str(bundle / d) for d in
                           ("oelint-adv", "oelint-parser", "oelint-data", "anytree/src", "argcomplete"))
    # homepageping fetches HOMEPAGE over the network, which these checks never use.
    return ([sys.executable, "-m", "oelint_adv", "--quiet", "--jobs", "1", "--release", "scarthgap",
             "--suppress", "oelint.vars.homepageping"] + [str(f) for f in files],
            dict(os.environ, PYTHONPATH=path))


def check_oelint(build):
    files = sorted(p for p in build.layer.rglob("*") if p.suffix in (".bb", ".bbappend", ".inc", ".conf"))
    cmd, env = oelint_command(build, files)
    proc = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    assert proc.returncode == 0 and not proc.stdout.strip(), (
        f"oelint-adv --release scarthgap: expected no finding, found (status {proc.returncode}):\n"
        f"{proc.stdout}")
    for f in files:
        for n, line in enumerate(f.read_text().splitlines(), 1):
            if line.startswith("# nooelint:"):
                assert re.match(r"# nooelint: [\w.,]+ - \S", line), (
                    f"{f.name}:{n}: a kept finding needs its reason after the ids (' - why'): {line}")


def cmake_options(env):
    """The configure line of cmake.bbclass, with this project's toolchain file
    standing in for the one bitbake writes."""
    args = words(env["OECMAKE_GENERATOR_ARGS"]) + words(env["OECMAKE_ARGS"]) + words(env["EXTRA_OECMAKE"])
    return [a for a in args if not a.startswith("-DCMAKE_TOOLCHAIN_FILE")]


def install(env, source, folder):
    """do_configure, do_compile and do_install of the recipe, into folder/image.
    Always a fresh folder: CMake names an unknown -D option only at the first
    configure."""
    shutil.rmtree(folder, ignore_errors=True)

    def run(cmd, **kw):
        proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)
        assert proc.returncode == 0, f"{' '.join(cmd)} failed:\n{tail(proc.stdout)}"
        return proc.stdout

    configured = run(["cmake", "-S", str(source), "-B", str(folder / "build"),
                      "--toolchain", str(source / "cmake" / "toolchains" / "armhf.cmake"),
                      *cmake_options(env), "-Wno-dev"])
    run(["cmake", "--build", str(folder / "build")])
    run(["cmake", "--install", str(folder / "build")], env=dict(os.environ, DESTDIR=str(folder / "image")))
    return folder / "image", configured


def unit_search_paths(env):
    # systemd.bbclass's systemd_check_services
    return [os.path.join(env["sysconfdir"], "systemd", "system"), env["systemd_system_unitdir"],
            env["systemd_user_unitdir"]]


def poky_modules(poky):
    """bitbake's and OpenEmbedded's own Python modules, importable here."""
    for sub in ("scripts/lib", "meta/lib", "bitbake/lib"):
        if str(poky / sub) not in sys.path:
            sys.path.insert(0, str(poky / sub))


def package_files(env, image, poky):
    """({package: files}, problems) as do_package splits the image: in
    PACKAGES' order, each taking what its FILES matches and no earlier
    package took, with the units the systemd class adds to its packages."""
    poky_modules(poky)
    import oe.package
    files = {p: words(env.get(f"FILES:{p}")) for p in words(env["PACKAGES"])}
    problems = []
    for pkg in words(env.get("SYSTEMD_PACKAGES")):
        for unit in words(env.get(f"SYSTEMD_SERVICE:{pkg}")):
            found = [d for d in unit_search_paths(env) if os.path.lexists(f"{image}{d}/{unit}")]
            if found:
                files[pkg].append(f"{found[0]}/{unit}")
            else:
                problems.append(f"systemd.bbclass: Didn't find service unit '{unit}', specified in "
                                f"SYSTEMD_SERVICE:{pkg} (looked in {unit_search_paths(env)})")
    taken, split = set(), {}
    here = os.getcwd()
    os.chdir(image)
    try:
        for pkg, filevars in files.items():
            found, _ = oe.package.files_from_filevars(filevars)
            split[pkg] = {f[1:] for f in found if os.path.lexists(f) and not os.path.isdir(f)} - taken
            taken |= split[pkg]
    finally:
        os.chdir(here)
    return split, problems


def check_install(env, source, folder, poky):
    image, configured = install(env, source, folder)
    problems = []
    ours = {a[2:].split("=")[0].split(":")[0] for a in words(env["EXTRA_OECMAKE"]) if a.startswith("-D")}
    unused = re.search(r"Manually-specified variables were not used by the project:\n\n((?:\s+\S+\n)+)",
                       configured)
    unused = set(unused.group(1).split()) & ours if unused else set()
    if unused:
        problems.append(f"EXTRA_OECMAKE sets {sorted(unused)}, which the project does not know")

    installed = {"/" + str(p.relative_to(image)) for p in image.rglob("*") if not p.is_dir()}
    script = f"{env['INIT_D_DIR']}/{env['INITSCRIPT_NAME']}"
    if script not in installed or not os.access(f"{image}{script}", os.X_OK):
        problems.append(f"the init script should be the executable {script}, where update-rc.d.bbclass looks")
    split, unit_problems = package_files(env, image, poky)
    problems += unit_problems
    shipped = set().union(*split.values())
    if installed - shipped:
        problems.append("installed but in no package's FILES (do_package's installed-vs-shipped): "
                        f"{sorted(installed - shipped)}")
    assert not problems, "\n".join(problems) + f"\ninstalled: {sorted(installed)}"
    return split


# -- the committed layer --------------------------------------------------------------
def test_version_is_the_projects(source, env):
    version = project_version(source)
    assert env["PV"] == version == changelog_version(source), (
        f"the recipe's version {env['PV']}, CMakeLists.txt's {version} and debian/changelog's "
        f"{changelog_version(source)} should be one")
    rev = env["SRCREV"]
    ancestor = subprocess.run(["git", "-C", str(source), "merge-base", "--is-ancestor", rev, "HEAD"],
                              stderr=subprocess.PIPE, text=True)
    assert ancestor.returncode == 0, (
        f"SRCREV {rev} should be a commit of this repository's history (a full clone): "
        f"{ancestor.stderr.strip() or 'not an ancestor of HEAD'}")
    at_rev = subprocess.run(["git", "-C", str(source), "show", f"{rev}:CMakeLists.txt"],
                            stdout=subprocess.PIPE, text=True, check=True).stdout
    assert f"VERSION {version} " in at_rev, f"CMakeLists.txt at SRCREV {rev} is not version {version}"


def test_parse_has_no_error_or_warning_from_the_layer(build):
    check_parse(build, *build.parse_output[:2])


def test_environment_resolves_as_meant(source, env, build):
    depends = set(words(env["DEPENDS"]))
    # The program links FreeType; cmake, ninja and pkg-config come from the
    # classes; the host tools' libraries (libpng, libarchive, GoogleTest) must not.
    assert {"freetype", "cmake-native", "ninja-native", "pkgconfig-native"} <= depends, (
        f"DEPENDS should take freetype and the cmake and pkgconfig classes' tools, found {sorted(depends)}")
    assert not depends & {"libpng", "libarchive", "googletest"}, f"DEPENDS holds a host tool's library: {depends}"

    options = dict(a[2:].split("=", 1) for a in words(env["EXTRA_OECMAKE"]) if a.startswith("-D"))
    on = {o for o in build_options(source) if options.get(o) != "OFF"}
    assert not on, f"EXTRA_OECMAKE should turn every host tool and the tests off, leaves {sorted(on)}"
    assert options.get("UPDATER_SYSTEMD_UNITDIR") == env["systemd_system_unitdir"], (
        f"the unit should go to systemd_system_unitdir {env['systemd_system_unitdir']}, "
        f"EXTRA_OECMAKE gives {options.get('UPDATER_SYSTEMD_UNITDIR')}")
    assert options.get("UPDATER_INSTALL_INIT") == "all", "both start-up files, for the classes to choose"

    unit, script = startup_files(source)
    assert words(env[f"SYSTEMD_SERVICE:{PN}"]) == [unit] and env["INITSCRIPT_NAME"] == script, (
        f"SYSTEMD_SERVICE and INITSCRIPT_NAME should name init/'s {unit} and {script}, found "
        f"{env[f'SYSTEMD_SERVICE:{PN}']!r} and {env['INITSCRIPT_NAME']!r}")
    initscripts = next((build.poky / "meta" / "recipes-core" / "initscripts").glob("initscripts_*.bb")).read_text()
    mountall = re.search(r"update-rc.d -r \$\{D\} mountall.sh start (\d+) S", initscripts).group(1)
    m = re.fullmatch(r"start (\d+) S \.", env["INITSCRIPT_PARAMS"])
    assert m and f"S{m.group(1)}{script}" < f"S{mountall}mountall.sh", (
        f"the init script should start in runlevel S before mountall.sh (S{mountall}), which mounts "
        f"the fstab; INITSCRIPT_PARAMS is {env['INITSCRIPT_PARAMS']!r}")

    # FILES: test_install_lands_in_packages splits the real install by them.
    assert words(env[f"RDEPENDS:{PN}"]) == [env["VIRTUAL-RUNTIME_base-utils"]], (
        f"RDEPENDS:{PN} should be the base utilities ({env['VIRTUAL-RUNTIME_base-utils']}: /bin/sh, "
        f"rm, mknod, mount, cp, umount, reboot, insmod), found {env[f'RDEPENDS:{PN}']!r}")


def check_recommends(env, tools, build):
    modes = words(env["PACKAGECONFIG"])
    wanted = expected_recommends(tools, build, {int(m[-1]) for m in modes})
    found = set(words(env[f"RRECOMMENDS:{PN}"]))
    assert found == wanted, (
        f'PACKAGECONFIG = "{" ".join(modes)}": RRECOMMENDS:{PN} should be the packages of those modes\' '
        f"tools {sorted(wanted)}, found {sorted(found)}")


@pytest.mark.parametrize("modes", ["mode1 mode2", "mode1", "mode2"])
def test_mode_options_recommend_each_modes_tools(check_image, work, build, env, modes):
    if modes == env["PACKAGECONFIG"]:
        resolved = env
    else:
        with build.damaged_recipe(lambda text: text + f'PACKAGECONFIG = "{modes}"\n'):
            resolved = build.environment()
    check_recommends(resolved, board_tools(check_image, work), build)


def test_tool_packages_ship_their_tools(build):
    """Each package named for a tool holds it in poky: by its FILES, first in
    PACKAGES' order, or as an update-alternatives link."""
    for recipe in sorted({r for _, r in TOOL_PACKAGES.values()}):
        renv = build.environment(recipe)
        packages = words(renv["PACKAGES"])
        for tool, (package, _) in ((t, p) for t, p in TOOL_PACKAGES.items() if p[1] == recipe):
            paths = [f"{renv[d]}/{tool}" for d in ("sbindir", "base_sbindir", "bindir", "base_bindir")]
            owner = next((p for p in packages for path in paths
                          if any(fnmatch.fnmatch(path, pat) for pat in words(renv.get(f"FILES:{p}")))), None)
            alternative = tool in words(renv.get(f"ALTERNATIVE:{package}"))
            assert owner == package or alternative, (
                f"{tool}: expected in poky's {package}, but {recipe}'s FILES give it to {owner} "
                f"and {package}'s ALTERNATIVE is {renv.get(f'ALTERNATIVE:{package}')!r}")


def test_every_dependency_resolves(build):
    buildlist = check_graph(build)
    assert PN in buildlist and "freetype" in buildlist, f"pn-buildlist lacks {PN} or freetype: {buildlist}"


def test_oelint_finds_nothing(build):
    check_oelint(build)


def test_license_checksum_matches(env, source):
    check_license(env, source)


def test_install_lands_in_packages(env, source, work, build):
    split = check_install(env, source, work / "install", build.poky)
    unit, script = startup_files(source)
    mine = {os.path.basename(f) for f in split[PN]}
    assert {"updater", unit, script} <= mine, f"{PN} should hold the program and both start-up files: {split[PN]}"


def test_systemd_image(systemd_env, source, work, build):
    """INIT_MANAGER = "systemd": usrmerge moves the unit folder, which the
    recipe follows, and the update-rc.d class stands aside."""
    env = systemd_env
    features = words(env["DISTRO_FEATURES"])
    assert "systemd" in features and "sysvinit" not in features, f"not a systemd image: {features}"
    assert env.get("INHIBIT_UPDATERCD_BBCLASS") == "1" and "systemd-systemctl-native" in words(env["DEPENDS"]), (
        "on a systemd image the systemd class should enable the unit and update-rc.d do nothing")
    split = check_install(env, source, work / "install-systemd", build.poky)
    unit = f"{env['systemd_system_unitdir']}/{startup_files(source)[0]}"
    assert unit in split[PN], f"{PN} should hold {unit}: {sorted(split[PN])}"


def test_layer_form_is_what_yocto_check_layer_wants(build):
    """yocto-check-layer's own checks of the layer's files: its kind, its
    description's form and LAYERSERIES_COMPAT (the rest of it is below)."""
    poky_modules(build.poky)
    from checklayer import LayerType, detect_layers
    from checklayer.cases.common import CommonCheckLayer
    layers = detect_layers([str(build.layer)], True)
    assert [x["type"] for x in layers] == [LayerType.SOFTWARE], f"expected one software layer: {layers}"
    case = CommonCheckLayer("test_readme")
    case.tc = types.SimpleNamespace(layer=layers[0])
    case.test_readme()
    case.test_layerseries_compat()


def test_yocto_check_layer(build, request):
    if not request.config.getoption("--yocto-check-layer"):
        pytest.skip("the whole yocto-check-layer parses three configurations and computes the world's "
                    "signatures four times (15 min cold, 7.5 warm): --yocto-check-layer runs it "
                    "(ctest -L yocto-check-layer, with -DUPDATER_YOCTO_CHECK_LAYER=ON)")
    # Its own build folder: it wants the layer out of bblayers.conf, and adds it.
    builddir = build.root / "build-check-layer"
    build.write_conf(builddir, with_layer=False)
    status, out, secs = build.run("yocto-check-layer", "--no-auto-dependency", str(build.layer),
                                  builddir=builddir, timeout=3600)
    print(f"yocto-check-layer: {secs:.0f} s")
    # Its world signatures (half a gigabyte) are made afresh every run.
    shutil.rmtree(builddir / "tmp" / "stamps", ignore_errors=True)
    assert status == 0 and re.search(rf"^INFO: {build.layer.name} \.\.\. PASS$", out, re.M), (
        f"yocto-check-layer should PASS the layer, status {status}:\n{tail(out, 60)}")


# -- each check on a planted fault --------------------------------------------------
def plant(old, new):
    def damage(text):
        assert old in text, f"the recipe no longer holds {old!r}: update the planted fault"
        return text.replace(old, new, 1)
    return damage


FAULTS = {
    "depends-on-missing-recipe": (plant('DEPENDS = "freetype"', 'DEPENDS = "freetype libnotthere"'),
                                  lambda c: check_graph(c.build), "Nothing PROVIDES 'libnotthere'"),
    "rdepends-misspelt": (plant('RDEPENDS:${PN} = "${VIRTUAL-RUNTIME_base-utils}"',
                                'RDEPENDS:${PN} = "${VIRTUAL-RUNTIME_base-utils} dosfstool"'),
                          lambda c: check_graph(c.build), "Nothing RPROVIDES 'dosfstool'"),
    "license-md5-wrong": (lambda text: re.sub(r"md5=[0-9a-f]{32}", "md5=" + "0" * 32, text, count=1),
                          lambda c: check_license(c.build.environment(), c.source), "md5 00000000"),
    "unit-outside-files": (plant("-DUPDATER_SYSTEMD_UNITDIR=${systemd_system_unitdir}",
                                 "-DUPDATER_SYSTEMD_UNITDIR=${datadir}/units"),
                           lambda c: check_install(c.build.environment(), c.source, c.work / "install-fault",
                                                   c.build.poky),
                           "in no package's FILES (do_package's installed-vs-shipped): "
                           "['/usr/share/units/updater.service']"),
    "cmake-option-misspelt": (plant("-DUPDATER_BUILD_SIM=OFF", "-DUPDATER_BUILD_SIMM=OFF"),
                              lambda c: check_install(c.build.environment(), c.source, c.work / "install-fault",
                                                      c.build.poky),
                              "EXTRA_OECMAKE sets ['UPDATER_BUILD_SIMM'], which the project does not know"),
    "mode2-without-mke2fs": (plant('",,,,dosfstools e2fsprogs-mke2fs"', '",,,,dosfstools"'),
                             lambda c: check_recommends(c.build.environment(), board_tools(c.check_image, c.work),
                                                        c.build),
                             "should be the packages of those modes' tools ['dosfstools', 'e2fsprogs-mke2fs', "
                             "'mtd-utils', 'mtd-utils-ubifs'], found ['dosfstools', 'mtd-utils', 'mtd-utils-ubifs']"),
    "oelint-finding": (plant('SECTION = "admin"', 'SECTION = "Admin"'),
                       lambda c: check_oelint(c.build), "oelint.vars.sectionlowercase"),
}


@pytest.mark.parametrize("fault", FAULTS)
def test_check_fails_on_planted_fault(build, source, work, check_image, fault):
    damage, check, expected = FAULTS[fault]
    started = time.monotonic()
    with build.damaged_recipe(damage):
        with pytest.raises(AssertionError) as caught:
            check(types.SimpleNamespace(build=build, source=source, work=work, check_image=check_image))
    message = str(caught.value).split("\nassert ")[0]
    print(f"{fault} ({time.monotonic() - started:.1f} s):\n{message}")
    assert expected in message, f"the check failed, but not for the planted fault:\n{message}"
