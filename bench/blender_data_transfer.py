# Blender's Data Transfer operator as the peer of `pmxexport transfer-weights`: the same two
# bumpy tubes as weight_transfer_bench (a source of `around` x `along` points with 8 vertex
# groups weighted by height, and a slightly turned and widened target), vertex weights by
# nearest face with surface interpolation (vert_mapping 'POLYINTERP_NEAREST').
#
#   blender -b --python bench/blender_data_transfer.py -- make SCENE.blend [SIZE]
#       writes the two meshes (SIZE: 10k, 100k (default) or 1M source points)
#   blender -b [-t THREADS] SCENE.blend --python bench/blender_data_transfer.py -- transfer OUT.blend
#       runs the operator once, prints the seconds of the call (wall and CPU), saves OUT.blend
#
# Time the second command as a whole (hyperfine) for the whole run.
import math
import sys
import time

import bpy

JOINTS = 8
HEIGHT = 180.0
SIZES = {"10k": (200, 50, 160, 63), "100k": (400, 250, 320, 313), "1M": (1250, 800, 1000, 1001)}


def tube(name, around, along, phase, swell, offset):
    co, ys = [], []
    for k in range(along):
        y = HEIGHT * k / (along - 1)
        for i in range(around):
            a = 2.0 * math.pi * (i + phase) / around
            r = (12.0 + 3.0 * math.sin(y * 0.07) + 1.5 * math.sin(3 * a + y * 0.05)) * swell
            # The host's y is up, Blender's z: (x, y, z) -> (x, -z, y) keeps the handedness.
            co += (r * math.cos(a), -r * math.sin(a), y)
            ys.append(y)
    loops = []
    for k in range(along - 1):
        for i in range(around):
            a, b = k * around + i, k * around + (i + 1) % around
            loops += (a, b, b + around, a + around)
    me = bpy.data.meshes.new(name)
    me.vertices.add(len(ys))
    me.vertices.foreach_set("co", co)
    me.loops.add(len(loops))
    me.loops.foreach_set("vertex_index", loops)
    me.polygons.add(len(loops) // 4)
    me.polygons.foreach_set("loop_start", range(0, len(loops), 4))
    me.polygons.foreach_set("loop_total", [4] * (len(loops) // 4))
    me.update(calc_edges=True)
    ob = bpy.data.objects.new(name, me)
    ob.location = (offset[0], -offset[2], offset[1])
    bpy.context.scene.collection.objects.link(ob)
    for j in range(JOINTS):
        ob.vertex_groups.new(name="Joint%d" % j)
    return ob, ys


def fill_weights(ob, ys):
    groups = ob.vertex_groups
    for n, y in enumerate(ys):
        t = y / HEIGHT * (JOINTS - 1)
        j = min(JOINTS - 2, int(t))
        f = t - j
        groups[j].add([n], (1.0 - f) * 0.9, "REPLACE")
        groups[j + 1].add([n], f * 0.9, "REPLACE")
        groups[(j + 3) % JOINTS].add([n], 0.1, "ADD")


def make(path, size):
    sa, sl, ta, tl = SIZES[size]
    for ob in list(bpy.data.objects):
        bpy.data.objects.remove(ob)
    source, ys = tube("Source", sa, sl, 0.0, 1.0, (0, 0, 0))
    fill_weights(source, ys)
    tube("Target", ta, tl, 0.37, 1.004, (0.01, 0.02, 0))
    bpy.ops.wm.save_as_mainfile(filepath=path)


def transfer(path):
    source = bpy.data.objects["Source"]
    target = bpy.data.objects["Target"]
    for ob in bpy.context.view_layer.objects:
        ob.select_set(False)
    source.select_set(True)
    target.select_set(True)
    bpy.context.view_layer.objects.active = target
    t0, c0 = time.perf_counter(), time.process_time()
    result = bpy.ops.object.data_transfer(
        data_type="VGROUP_WEIGHTS",
        vert_mapping="POLYINTERP_NEAREST",
        layers_select_src="ALL",
        layers_select_dst="NAME",
        mix_mode="REPLACE",
        use_object_transform=True,
    )
    seconds, cpu = time.perf_counter() - t0, time.process_time() - c0
    print("data_transfer %s: %.3f s, CPU %.3f s (%d -> %d points)"
          % (result, seconds, cpu, len(source.data.vertices), len(target.data.vertices)))
    bpy.ops.wm.save_as_mainfile(filepath=path)


args = sys.argv[sys.argv.index("--") + 1:] if "--" in sys.argv else []
if len(args) >= 2 and args[0] == "make":
    make(args[1], args[2] if len(args) > 2 else "100k")
elif len(args) == 2 and args[0] == "transfer":
    transfer(args[1])
else:
    sys.exit("usage: see the comment at the top of blender_data_transfer.py")
