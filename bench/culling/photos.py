"""The culling benchmark's scenes: real photographs that Debian packages ship under free licences,
read where the packages install them, and the fixed split into tuning and held-out scenes.

    /usr/bin/python3 bench/culling/photos.py      # lists the scenes, their sizes, split and licence
"""

import collections
import os
import sys

import cv2

Scene = collections.namedtuple("Scene", "name package path author licence")

# Where each package installs its photographs.
_FOLDERS = {
    "lomiri-wallpapers-16.04": "/usr/share/backgrounds/{}.jpg",
    "lomiri-wallpapers-20.04": "/usr/share/backgrounds/{}.jpg",
    "plasma-workspace-wallpapers": "/usr/share/wallpapers/{}/contents/images/2560x1600.jpg",
    "mate-backgrounds": "/usr/share/backgrounds/mate/nature/{}.jpg",
    "python3-skimage": "/usr/lib/python3/dist-packages/skimage/data/{}",
}


def _scenes(package, entries):
    return [Scene(name, package, _FOLDERS[package].format(file), author, licence)
            for name, file, author, licence in entries]


# Photographs only: illustrations, renderings, textures, microscopy and the stereo pair of
# python3-skimage (whose terms the package does not state) are left out. New scenes go at the end
# (see held_out).
SCENES = _scenes("lomiri-wallpapers-16.04", [
    ("bridge", "Bridge_by_Sander_Klootwijk", "Sander Klootwijk", "CC-BY-SA-4.0"),
    ("dragonfly", "Dragonfly_by_Bolly", "Bolly", "CC-BY-SA-4.0"),
    ("fig", "Picture_0B_by_freespace", "Trevor \"Freespace\"", "CC-BY-4.0"),
    ("brushes", "Picture_1A_by_freespace", "Trevor \"Freespace\"", "CC-BY-4.0"),
    ("wine", "Wine_by_Jakkub_Mede", "Jakub Mede", "CC-BY-4.0"),
    ("aitzgorri", "aitzgorri_by_Aitzol_Berasategi", "Aitzol Berasategi", "CC-BY-4.0"),
    ("lamp-bird", "free_by_Peter_Nerlich", "Peter Nerlich", "CC-BY-SA-4.0"),
    ("dogs", "friends_by_Aitzol_Berasategi", "Aitzol Berasategi", "CC-BY-4.0"),
    ("clock", "greentock_by_Peter_Nerlich", "Peter Nerlich", "CC-BY-SA-4.0"),
    ("creek", "life_by_Aitzol_Berasategi", "Aitzol Berasategi", "CC-BY-4.0"),
    ("picos", "picosdeeuropa_by_Aitzol_Berasategi", "Aitzol Berasategi", "CC-BY-4.0"),
    ("dandelions", "seeding_by_Clements_Engelhardt", "Clemens Engelhardt", "CC0-1.0"),
    ("sunset", "sunset_by_Aitzol_Berasategi", "Aitzol Berasategi", "CC-BY-4.0"),
]) + _scenes("lomiri-wallpapers-20.04", [
    ("nuthatch", "Kleiber_by_Lukas_Baubkus", "Lukas Baubkus", "CC-BY-SA-3.0"),
]) + _scenes("plasma-workspace-wallpapers", [
    ("jetty", "BytheWater", "Maciej Wiklo", "LGPL-3.0"),
    ("pier", "ColdRipple", "Risto Saukonpää", "LGPL-3.0"),
    ("cups", "ColorfulCups", "Dmitri Popov", "LGPL-3.0"),
    ("fog-lake", "DarkestHour", "Risto Saukonpää", "LGPL-3.0"),
    ("boats", "EveningGlow", "Ian Hex", "LGPL-3.0"),
    ("leaf", "FallenLeaf", "Martin Klapetek", "LGPL-3.0"),
    ("facade", "Grey", "Sigi Sagi", "LGPL-3.0"),
    ("moss", "OneStandsOut", "Risto Saukonpää", "LGPL-3.0"),
    ("forest-path", "Path", "Risto Saukonpää", "LGPL-3.0"),
    ("dusk-lake", "summer_1am", "Risto Saukonpää", "LGPL-3.0"),
]) + _scenes("mate-backgrounds", [
    ("drop", "Aqua", "Charles Barbin", "GPL-2.0-or-later"),
    ("leaf-veins", "Blinds", "Lennart Poettering, Andrea Cimitan", "GPL-2.0-or-later"),
    ("dune", "Dune", "Marco Cogoni, Hylke Bons", "GPL-2.0-or-later"),
    ("orange-flower", "FreshFlower", "Jens Ansorg", "GPL-2.0-or-later"),
    ("garden", "Garden", "Charles Barbin", "GPL-2.0-or-later"),
    ("meadow", "GreenMeadow", "Timothy Schellhase, Lapo Calamandrei", "GPL-2.0-or-later"),
    ("ladybird", "LadyBird", "Charles Barbin", "GPL-2.0-or-later"),
    ("raindrops", "RainDrops", "\"blackcombwhistler07\"", "GPL-2.0-or-later"),
    ("storm", "Storm", "Sergey Nazarov", "GPL-2.0-or-later"),
    ("seeds", "TwoWings", "Charles Barbin, Hylke Bons", "GPL-2.0-or-later"),
    ("boards", "Wood", "Jean-François Fortin Tam", "GPL-2.0-or-later"),
    ("yellow-flower", "YellowFlower", "Charles Barbin", "GPL-2.0-or-later"),
]) + _scenes("python3-skimage", [
    ("astronaut", "astronaut.png", "NASA", "public domain"),
    ("cameraman", "camera.png", "Lav Varshney", "CC0-1.0"),
    ("cat", "chelsea.png", "Stefan van der Walt", "CC0-1.0"),
    ("coffee", "coffee.png", "Rachel Michetti", "CC0-1.0"),
    ("rocket", "rocket.jpg", "SpaceX", "public domain (CC0-1.0)"),
])

PACKAGES = sorted({scene.package for scene in SCENES})


def held_out(scene):
    """True for the scenes kept out of tuning: every third one of SCENES, from the third on. New
    scenes go at the end of the list, so that no scene ever changes sides."""
    return SCENES.index(scene) % 3 == 2


def load(scene):
    """The scene's photograph as 8-bit BGR (a gray one in three equal channels), or SystemExit
    naming the file and the package that ships it."""
    photo = cv2.imread(scene.path, cv2.IMREAD_COLOR) if os.path.isfile(scene.path) else None
    if photo is None:
        sys.exit(f"bench-culling: cannot read {scene.path} (Debian package {scene.package}; "
                 f"make bench-culling installs it)")
    return photo


def main():
    for scene in SCENES:
        photo = load(scene)
        split = "held-out" if held_out(scene) else "tuning"
        print(f"{scene.name:14} {photo.shape[1]:5}x{photo.shape[0]:<5} {split:8} {scene.licence:24} "
              f"{scene.author} ({scene.package})")


if __name__ == "__main__":
    main()
