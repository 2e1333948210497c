#!/usr/bin/env python3
"""Self-checks of the Python reference against hand-worked cases.

Run with: python3 test_reference_selfcheck.py   (plain asserts; pytest also works)
"""

import math
import os
import shutil
import subprocess
import sys
import tempfile
from fractions import Fraction

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.dont_write_bytecode = True  # keep the source folder free of caches

import make_study  # noqa: E402
import strataperm_reference as ref  # noqa: E402


class ScriptedGenerator:
    """Returns the given uniform values in turn and counts the draws."""

    def __init__(self, values):
        self.values = list(values)
        self.draws = 0

    def uniform_random(self):
        value = self.values[self.draws]
        self.draws += 1
        return value


def one_based(values):
    return [None] + list(values)


def is_negative_nan(x):
    return math.isnan(x) and math.copysign(1.0, x) < 0


def write_files(folder, files):
    for name, text in files.items():
        with open(os.path.join(folder, name), "w", newline="") as handle:
            handle.write(text)


def parameter_text(r, l, m, n, genotype="g.txt", marker="t.txt", output="out.txt"):
    return ("genotype file\n%s\nmarker file\n%s\nresults\n%s\npermutations\n%d\n"
            "loci\n%d\nmarkers\n%d\nindividuals\n%d\n" % (genotype, marker, output, r, l, m, n))


def run_files(files):
    with tempfile.TemporaryDirectory() as folder:
        write_files(folder, files)
        return ref.run_program(folder)


# ---------------------------------------------------------------------------
# random numbers
# ---------------------------------------------------------------------------

def test_generator_first_values_from_start_seeds():
    rng = ref.Generator(3, 1, 1)
    first = rng.uniform_random()
    assert (rng.s1, rng.s2, rng.s3) == (513, 172, 170)
    x = 513 / 30269.0 + 172 / 30309.0 + 170 / 30323.0
    assert first == x - int(x)
    assert abs(first - 0.0282) < 1e-4
    second = rng.uniform_random()
    assert (rng.s1, rng.s2, rng.s3) == (513 * 171 % 30269, 172 * 172 % 30309, 170 * 170 % 30323)
    x = rng.s1 / 30269.0 + rng.s2 / 30309.0 + rng.s3 / 30323.0
    assert second == x - int(x)
    third = rng.uniform_random()
    x = rng.s1 / 30269.0 + rng.s2 / 30309.0 + rng.s3 / 30323.0
    assert third == x - int(x)
    # the second modulus is 30309, not 30307
    rng = ref.Generator(3, 30308, 1)
    rng.uniform_random()
    assert rng.s2 == 30308 * 172 % 30309


def test_generator_values_stay_in_unit_interval_and_repeat():
    a = ref.Generator(3, 1, 1)
    b = ref.Generator(3, 1, 1)
    values = [a.uniform_random() for _ in range(5000)]
    assert all(0.0 <= v < 1.0 for v in values)
    assert values == [b.uniform_random() for _ in range(5000)]


def test_random_permutation():
    rng = ref.Generator(3, 1, 1)
    assert ref.random_permutation(rng, 1)[1:] == [1]
    assert rng.draws == 1
    out = ref.random_permutation(rng, 10)
    assert sorted(out[1:]) == list(range(1, 11))
    assert rng.draws == 11
    # pool[k] with k = trunc(u * remaining) + 1, removed from a shrinking pool
    scripted = ScriptedGenerator([0.99, 0.0, 0.5])
    assert ref.random_permutation(scripted, 3)[1:] == [3, 1, 2]


# ---------------------------------------------------------------------------
# random-pivot quicksort
# ---------------------------------------------------------------------------

def test_sort_worked_example():
    keys = one_based([0.3, 0.1, 0.3, 0.2])
    ids = one_based([1, 2, 3, 4])
    rng = ScriptedGenerator([0.6])
    ref.sort_with_index(keys, ids, 4, rng)
    assert keys[1:] == [0.1, 0.2, 0.3, 0.3]
    assert ids[1:] == [2, 4, 3, 1]
    assert rng.draws == 1


def test_sort_three_equal_keys_by_pivot():
    for u, expected in ((0.1, [1, 3, 2]), (0.5, [2, 3, 1]), (0.9, [3, 2, 1])):
        keys = one_based([5.0, 5.0, 5.0])
        ids = one_based([1, 2, 3])
        rng = ScriptedGenerator([u])
        ref.sort_with_index(keys, ids, 3, rng)
        assert ids[1:] == expected, (u, ids)
        assert rng.draws == 1


def test_sort_after_start_up_seeding():
    keys = one_based([1.0, 1.0, 1.0])
    ids = one_based([1, 2, 3])
    ref.sort_with_index(keys, ids, 3, ref.Generator(3, 1, 1))
    assert ids[1:] == [1, 3, 2]
    keys = one_based([0.3, 0.1, 0.3, 0.2])
    ids = one_based([1, 2, 3, 4])
    ref.sort_with_index(keys, ids, 4, ref.Generator(3, 1, 1))
    assert keys[1:] == [0.1, 0.2, 0.3, 0.3]
    assert ids[1:] == [2, 4, 1, 3]


def test_sort_small_ranges_draw_nothing():
    for n in (0, 1):
        keys = one_based([2.0][:n])
        ids = one_based([7][:n])
        rng = ScriptedGenerator([])
        ref.sort_with_index(keys, ids, n, rng)
        assert rng.draws == 0
    keys, ids = one_based([2.0, 1.0]), one_based([7, 9])
    ref.sort_with_index(keys, ids, 2, ScriptedGenerator([]))
    assert keys[1:] == [1.0, 2.0] and ids[1:] == [9, 7]
    keys, ids = one_based([1.0, 1.0]), one_based([7, 9])
    ref.sort_with_index(keys, ids, 2, ScriptedGenerator([]))
    assert ids[1:] == [7, 9]


def test_sort_equal_run_takes_one_draw_per_level():
    for t in range(3, 12):
        keys = one_based([0.5] * t)
        ids = one_based(range(1, t + 1))
        rng = ref.Generator(3, 1, 1)
        ref.sort_with_index(keys, ids, t, rng)
        assert rng.draws == t - 2
        assert sorted(ids[1:]) == list(range(1, t + 1))


def test_sort_nan_goes_to_lower_part():
    nan = float("nan")
    # NaN pivot (position 2): every other key goes low, the pivot to position n
    keys = one_based([3.0, nan, 1.0])
    ids = one_based([1, 2, 3])
    ref.sort_with_index(keys, ids, 3, ScriptedGenerator([0.5]))
    assert ids[1:] == [3, 1, 2] and math.isnan(keys[3])
    # NaN key against a numeric pivot (position 1) is placed low as well
    keys = one_based([2.0, nan, 5.0])
    ids = one_based([1, 2, 3])
    ref.sort_with_index(keys, ids, 3, ScriptedGenerator([0.1]))
    assert ids[1:] == [2, 1, 3]


def test_sort_random_data_is_ascending_with_ids_carried():
    rng = ref.Generator(3, 1, 1)
    source = ref.Generator(7, 11, 13)
    for n in (3, 4, 17, 60):
        values = [round(source.uniform_random(), 1) for _ in range(n)]
        keys = one_based(values)
        ids = one_based(range(1, n + 1))
        ref.sort_with_index(keys, ids, n, rng)
        assert keys[1:] == sorted(values)
        assert all(values[ids[i] - 1] == keys[i] for i in range(1, n + 1))


# ---------------------------------------------------------------------------
# similarity matrix
# ---------------------------------------------------------------------------

def test_similarity_two_individuals():
    a1 = [None, [None, 0], [None, 1]]
    a2 = [None, [None, 0], [None, 1]]
    sim = ref.compute_similarity(2, 1, a1, a2)
    assert sim[1][1:] == [1.0, 0.0] and sim[2][1:] == [0.0, 1.0]


def test_similarity_three_individuals():
    # allele counts (0, 0), (1, 2), (2, 2)
    a1 = [None, [None, 0, 0], [None, 1, 1], [None, 1, 1]]
    a2 = [None, [None, 0, 0], [None, 0, 1], [None, 1, 1]]
    sim = ref.compute_similarity(3, 2, a1, a2)
    assert sim[1][2] == 0.25 and sim[1][3] == 0.0 and sim[2][3] == 0.75
    assert all(sim[i][i] == 1.0 for i in range(1, 4))
    assert all(sim[i][j] == sim[j][i] for i in range(1, 4) for j in range(1, 4))


def test_similarity_uses_only_allele_sums_of_any_integers():
    a1 = [None, [None, 0, -1], [None, 1, 2]]
    a2 = [None, [None, 1, 3], [None, 0, 0]]
    sim = ref.compute_similarity(2, 2, a1, a2)
    # sums (1, 2) and (1, 2): identical, so every distance is 0 and 0/0 follows
    assert all(is_negative_nan(sim[i][j]) for i in (1, 2) for j in (1, 2))


# ---------------------------------------------------------------------------
# population-structure test
# ---------------------------------------------------------------------------

def test_normal_density():
    assert ref.normal_density(0.0, 0.0, 1.0) == math.exp(-0.0) * (1.0 / math.sqrt(2.0 * 3.1415926535))
    assert ref.normal_density(0.5, 0.0, 1.0) == math.exp(-0.125) * (1.0 / math.sqrt(2.0 * 3.1415926535))
    for x in (0.0, 0.3):
        assert math.isnan(ref.normal_density(x, 0.0, 0.0))


def test_structure_all_similarities_equal():
    sim = [None, [None, 1.0, 0.0], [None, 0.0, 1.0]]
    result = ref.test_population_structure(sim, 2, 2)
    assert math.isnan(result.bic1) and math.isnan(result.bic2)
    assert result.one_group_override and not result.structure
    assert result.convergence_tests == 3
    assert all(sim[i][j] == 1.0 for i in (1, 2) for j in (1, 2))
    assert result.stdout_text == (
        "There does not exist population structure\n"
        "The BIC corresponding to one group and two groups of the similarities are\n"
        "BIC(1)=-nan  BIC(2)=-nan\n\n")
    assert result.file_text == (
        "There does not exist population structure.\n"
        "The BIC corresponding to one group and two groups of the similarities are\n"
        "BIC(1)=-nan  BIC(2)=-nan.\n\n")


def clustered_similarity(groups):
    """Similarity of individuals in groups: 0.9 within, 0.1 between, with
    small deterministic jitter."""
    n = len(groups)
    sim = [None] + [[None] + [0.0] * n for _ in range(n)]
    for i in range(1, n + 1):
        for j in range(1, n + 1):
            if i == j:
                sim[i][j] = 1.0
            else:
                base = 0.9 if groups[i - 1] == groups[j - 1] else 0.1
                sim[i][j] = base + 0.01 * ((i * j) % 5)
    return sim


def test_structure_two_clear_groups():
    groups = [0, 1, 0, 1, 1, 0, 0, 1]
    sim = clustered_similarity(groups)
    result = ref.test_population_structure(sim, 8, 8)
    assert result.structure and not result.one_group_override
    assert result.bic1 > result.bic2
    for i in range(1, 9):
        assert sim[i][i] == 1.0
        for j in range(1, 9):
            if i != j:
                assert sim[i][j] == (1.0 if groups[i - 1] == groups[j - 1] else 0.0)
    assert result.stdout_text.startswith("There exists population structure.\n")
    assert result.file_text.startswith("There exists population structure.\n")
    assert result.file_text.endswith(".\n\n") and not result.stdout_text.endswith(".\n\n")


def test_structure_lists_of_overlap_study_are_symmetric_but_overlapping():
    with tempfile.TemporaryDirectory() as folder:
        make_study.write_study(folder, 4, "overlap")
        study = ref.read_parameters(folder, [])
    n = study.n_individuals
    sim = ref.compute_similarity(n, study.n_loci, study.locus_allele1, study.locus_allele2)
    result = ref.test_population_structure(sim, n, n)
    assert result.structure
    members = ref.member_lists(sim, n)
    assert all(i in members[i] for i in range(1, n + 1))
    assert all((i in members[j]) == (j in members[i])
               for i in range(1, n + 1) for j in range(1, n + 1))
    assert any(members[i] != members[j] for i in range(1, n + 1) for j in members[i])


def test_structure_one_group_overrides_matrix():
    rng = ref.Generator(5, 7, 9)
    n = 9
    sim = [None] + [[None] + [1.0] * n for _ in range(n)]
    for i in range(1, n + 1):
        for j in range(i + 1, n + 1):
            sim[i][j] = sim[j][i] = 0.4 + 0.2 * rng.uniform_random()
    result = ref.test_population_structure(sim, n, n)
    assert result.bic1 < result.bic2
    assert result.one_group_override and not result.structure
    assert all(sim[i][j] == 1.0 for i in range(1, n + 1) for j in range(1, n + 1))


# ---------------------------------------------------------------------------
# permutation test pieces
# ---------------------------------------------------------------------------

def test_genotype_codes():
    assert ref.genotype_codes(2) == (1.0, 0.0)
    assert ref.genotype_codes(0) == (-1.0, 0.0)
    for w in (1, 3, -1, 4, -2):
        assert ref.genotype_codes(w) == (0.0, 1.0)


def test_sequential_adjustment_is_row_by_row_in_place():
    ones = [None] + [[None, 1.0, 1.0, 1.0] for _ in range(3)]
    column = one_based([1.0, 1.0, 1.0])
    ref.adjust_column(column, ones, 3)
    assert column[1] == 0.0
    assert column[2] == 1.0 - 2.0 / 3.0
    assert column[3] == 1.0 - (0.0 + column[2] + 1.0) / 3.0
    assert abs(column[2] - 1.0 / 3.0) < 1e-15 and abs(column[3] - 5.0 / 9.0) < 1e-15


def matrix_of_lists(members, n):
    g = [None] + [[None] + [0.0] * n for _ in range(n)]
    for i in range(1, n + 1):
        for k in members[i]:
            g[i][k] = 1.0
    return g


def test_means_adjustment_takes_every_mean_from_the_unadjusted_column():
    # one group of equal codes: all zero (sequential gives 0, 1/3, 5/9)
    column = one_based([1.0, 1.0, 1.0])
    ref.adjust_column_by_means(column, [None] + [[1, 2, 3]] * 3, 3)
    assert column[1:] == [0.0, 0.0, 0.0]
    # two groups, {1, 2} and {3, 4, 5}, of unequal codes: means 1/2 and 1/3
    column = one_based([1.0, 0.0, -1.0, 1.0, 1.0])
    groups = [None, [1, 2], [1, 2], [3, 4, 5], [3, 4, 5], [3, 4, 5]]
    ref.adjust_column_by_means(column, groups, 5)
    third = 1.0 / 3.0
    assert column[1:] == [0.5, -0.5, -1.0 - third, 1.0 - third, 1.0 - third]
    # overlapping lists: mean(2) = (1 + 0 + 0)/3 from the unadjusted codes,
    # mean(3) = (0 + 0)/2 although entry 2 has already lost its mean
    overlapping = [None, [1, 2], [1, 2, 3], [2, 3]]
    column = one_based([1.0, 0.0, 0.0])
    ref.adjust_column_by_means(column, overlapping, 3)
    assert column[1:] == [0.5, -third, 0.0]
    # the sequential adjustment of the same lists sees the adjusted rows
    column = one_based([1.0, 0.0, 0.0])
    ref.adjust_column(column, matrix_of_lists(overlapping, 3), 3)
    assert column[1:] == [0.5, 0.0 - 0.5 / 3.0, 0.0 - (0.0 - 0.5 / 3.0) / 2.0]
    # a list of one: the entry becomes 0
    column = one_based([7.0, -2.5])
    ref.adjust_column_by_means(column, [None, [1], [2]], 2)
    assert column[1:] == [0.0, 0.0]


def test_sum_of_squares_within_lists_and_distinct_lists():
    # groups {1, 3, 5, 6} (trait mean 1) and {2, 4} (mean -2)
    y = one_based([3.0, -3.0, 1.0, -1.0, -1.0, 1.0])
    groups = [None, [1, 3, 5, 6], [2, 4], [1, 3, 5, 6], [2, 4], [1, 3, 5, 6], [1, 3, 5, 6]]
    assert ref.within_list_squares(y, groups, 6) == 4.0 + 1.0 + 0.0 + 1.0 + 4.0 + 0.0
    assert ref.trait_sum_of_squares(y, groups, 6, "means") == 10.0
    assert ref.trait_sum_of_squares(y, groups, 6, "sequential") == 22.0
    assert ref.distinct_lists(groups, 6) == 2
    # one group: S is the sum of squares about the overall mean
    assert ref.within_list_squares(one_based([2.0, 1.0, -1.0, -2.0]),
                                   [None] + [[1, 2, 3, 4]] * 4, 4) == 10.0
    # overlapping lists: e = 1 - 1/2, 0 - 1/3, 0 - 0; three distinct lists
    overlapping = [None, [1, 2], [1, 2, 3], [2, 3]]
    assert ref.within_list_squares(one_based([1.0, 0.0, 0.0]), overlapping, 3) == \
        0.25 + (1.0 / 3.0) * (1.0 / 3.0)
    assert ref.distinct_lists(overlapping, 3) == 3
    assert ref.distinct_lists([None, [1, 2], [1, 2], [3]], 3) == 2
    assert ref.distinct_lists([None, [1], [2], [3]], 3) == 3


def test_member_lists_need_exact_one():
    g = [None, [None, 1.0, 0.9999999999999999], [None, 1.0, 1.0]]
    assert ref.member_lists(g, 2)[1:] == [[1], [1, 2]]


def test_donor_assignment_one_group_of_three():
    members = [None, [1, 2, 3], [1, 2, 3], [1, 2, 3]]
    rng = ScriptedGenerator([0.1, 0.6, 0.95])
    donor = ref.assign_donors(members, [0, 2, 3, 1], 3, rng)
    assert donor[1:] == [2, 1, 3]
    assert rng.draws == 3


def test_donor_assignment_overlapping_lists():
    members = [None, [1, 2], [1, 2, 3], [2, 3]]
    rng = ScriptedGenerator([0.2, 0.3])
    donor = ref.assign_donors(members, [0, 2, 3, 1], 3, rng)
    assert donor[1:] == [1, 1, 2]
    assert rng.draws == 2  # plus the 3 draws of the visit order: 3 + 2


def test_donor_assignment_own_lists_only():
    members = [None] + [[i] for i in range(1, 6)]
    rng = ref.Generator(3, 1, 1)
    donor = ref.assign_donors(members, [0, 5, 4, 3, 2, 1], 5, rng)
    assert donor[1:] == [1, 2, 3, 4, 5] and rng.draws == 5


def test_statistic_evaluation_order():
    szz, sxx, sxy, szy, sxz = 0.3, 1.7, -0.2, 0.9, 0.11
    expected = (szz * sxy) * sxy + (sxx * szy) * szy - ((2 * sxz) * szy) * sxy
    assert ref.statistic(szz, sxx, sxy, szy, sxz) == expected


# ---------------------------------------------------------------------------
# missing marker calls
# ---------------------------------------------------------------------------

def read_study(files):
    with tempfile.TemporaryDirectory() as folder:
        write_files(folder, files)
        return ref.read_parameters(folder, [])


def raises_input_error(files):
    try:
        run_files(files)
    except ref.InputError:
        return True
    return False


FOUR_APART = "h\n2 0 0 0 0 0 0 0\n0 0 2 0 0 0 0 0\n0 0 0 0 2 0 0 0\n0 0 0 0 0 0 2 0\n"


def test_missing_calls_take_the_mean_codes_of_the_called():
    # marker 1: called sums 2, 1, 2 (x 1, 0, 1; z 0, 1, 0), two missing
    # marker 2: no missing call, sums 0, 3, 2, 1, -1
    # marker 3: one called individual with the sum 3 of codes 1 and 2
    traits = ("h\n1 1 1 0 0 . .\n2 . . 1 2 . .\n3 0 1 1 1 1 2\n"
              "4 1 1 0 1 . .\n5 . . 0 -1 . .\n")
    study = read_study({"parameter.txt": parameter_text(1, 4, 3, 5),
                        "g.txt": "h\n" + "0 1 1 1 0 0 1 0\n" * 5, "t.txt": traits})
    assert [study.marker_called[i][1] for i in range(1, 6)] == [True, False, True, True, False]
    additive, dominance = ref.code_markers(study)
    column = lambda codes, j: [codes[i][j] for i in range(1, 6)]
    assert column(additive, 1) == [1.0, 2.0 / 3.0, 0.0, 1.0, 2.0 / 3.0]
    assert column(dominance, 1) == [0.0, 1.0 / 3.0, 1.0, 0.0, 1.0 / 3.0]
    assert column(additive, 2) == [-1.0, 0.0, 1.0, 0.0, 0.0]
    assert column(dominance, 2) == [0.0, 1.0, 0.0, 1.0, 1.0]
    assert column(additive, 3) == [0.0] * 5 and column(dominance, 3) == [1.0] * 5


def test_missing_calls_leave_other_markers_alone():
    # the random stream does not depend on M, so marker 1 keeps its P-value
    # whatever marker 2 holds
    traits_one = "h\n1.5 0 0\n2.5 1 1\n-3 0 1\n7 1 1\n0.25 0 0\n"
    traits_two = "h\n1.5 0 0 . .\n2.5 1 1 0 1\n-3 0 1 . .\n7 1 1 1 1\n0.25 0 0 . .\n"
    geno = "h\n0 0 1 1\n1 1 0 0\n0 1 1 1\n1 0 0 1\n1 1 1 1\n"
    alone = run_files({"parameter.txt": parameter_text(20, 2, 1, 5), "g.txt": geno,
                       "t.txt": traits_one})
    beside = run_files({"parameter.txt": parameter_text(20, 2, 2, 5), "g.txt": geno,
                        "t.txt": traits_two})
    assert alone[0] == beside[0] == 0
    line = [l for l in alone[1].split("\n") if l.startswith("marker1 ")]
    assert line and line[0] in beside[1].split("\n")


def test_marker_with_one_call_is_monomorphic_after_imputation():
    traits = "h\n1.5 . .\n2.5 . .\n-3 0 1\n7 . .\n"
    status, out, _, _ = run_files({"parameter.txt": parameter_text(9, 4, 1, 4),
                                   "g.txt": FOUR_APART, "t.txt": traits})
    assert status == 0 and "marker1    P-value=0.500000\n" in out


def test_missing_call_token_is_a_lone_full_stop_pair():
    params = parameter_text(3, 4, 2, 4)
    good = "h\n1 0 0 . .\n2 1 1\t.\n.\n3 0 1 1 1\n4 1 1 0 0\n"
    assert run_files({"parameter.txt": params, "g.txt": FOUR_APART, "t.txt": good})[0] == 0
    for bad_row in ("1 0 0 . 1", "1 0 0 1 .", "1 0 0 .. ..", "1 0 0. .", "1 . . . .5"):
        traits = "h\n%s\n2 1 1 0 0\n3 0 1 1 1\n4 1 1 0 0\n" % bad_row
        assert raises_input_error({"parameter.txt": params, "g.txt": FOUR_APART,
                                   "t.txt": traits}), bad_row


def test_missing_calls_everywhere_in_a_marker_or_in_the_background_are_errors():
    params = parameter_text(3, 4, 2, 4)
    traits = "h\n1 0 0 . .\n2 1 1 . .\n3 0 1 . .\n4 1 1 . .\n"
    assert raises_input_error({"parameter.txt": params, "g.txt": FOUR_APART, "t.txt": traits})
    geno = FOUR_APART.replace("2 0 0 0 0 0 0 0", ". . 0 0 0 0 0 0")
    traits = "h\n1 0 0 . .\n2 1 1 0 1\n3 0 1 . .\n4 1 1 1 1\n"
    assert raises_input_error({"parameter.txt": params, "g.txt": geno, "t.txt": traits})
    assert not raises_input_error({"parameter.txt": params, "g.txt": FOUR_APART, "t.txt": traits})


# ---------------------------------------------------------------------------
# per-marker table
# ---------------------------------------------------------------------------

# Four individuals, each alone at a background locus: every similarity is 0,
# the one-group model wins and the adjustment is by the mean of all four.
# Centred trait y = (2, 1, -1, -2), so S = 10 either way.  With the
# sequential adjustment:
#   marker 1: sums 2, 1, 0, 1: x = (1, 0, -1, 0) sums to 0 and stays;
#             z = (0, 1, 0, 1) becomes (-1/2, 5/8, -9/32, 101/128).
#   marker 2: 1 1, missing, missing, 0 1: x = (1, 1/2, 1/2, 0) and
#             z = (0, 1/2, 1/2, 1) become (1/2, 1/8, 7/32, -27/128) and
#             (-1/2, 1/8, 7/32, 101/128); A1_FREQ (2*1 + 1)/4 over 2 called.
#   marker 3: all heterozygous (sums 1, 1, 3, 1): x = 0, degenerate.
HAND_STUDY = {
    "parameter.txt": parameter_text(4, 4, 3, 4),
    "g.txt": FOUR_APART,
    "t.txt": "h\n12 1 1 1 1 0 1\n11 0 1 . . 1 0\n9 0 0 . . 1 2\n8 1 0 0 1 0 1\n",
    "markers.tsv": ("marker\tid\tchromosome\tposition\tallele1\tallele2\n"
                    "1\trs1\t3\t100\tA\tG\n2\trs2\t3\t250\tC\tT\n3\trs3\tX\t7\tG\tA\n"),
}
# every replicate visits 1, 2, 3, 4 in turn (four draws of 0); the donor
# draws pick, among the donors still free, the ones giving these donors:
#   r1 identity (1, 2, 3, 4): every statistic ties
#   r2 (1, 4, 2, 3): marker 1 above its T_obs, marker 2 below
#   r3 (2, 1, 3, 4): both below
#   r4 (2, 3, 4, 1): marker 1 ties exactly, marker 2 below
HAND_DRAWS = ([0.0] * 4 + [0.0, 0.0, 0.0, 0.0]
              + [0.0] * 4 + [0.0, 0.9, 0.0, 0.0]
              + [0.0] * 4 + [0.3, 0.0, 0.0, 0.0]
              + [0.0] * 4 + [0.3, 0.5, 0.5, 0.0]
              + [0.5])  # the final sort of three P-values


def run_hand_study(with_table=True, adjustment="sequential"):
    rng = ScriptedGenerator(HAND_DRAWS)
    with tempfile.TemporaryDirectory() as folder:
        write_files(folder, HAND_STUDY)
        run = ref.run_full(folder, with_table=with_table, rng=rng, adjustment=adjustment)
    assert rng.draws == len(HAND_DRAWS)
    return run


def test_hand_worked_sums_of_the_four_individual_study():
    with tempfile.TemporaryDirectory() as folder:
        write_files(folder, HAND_STUDY)
        study = ref.read_parameters(folder, [])
    record = ref.AnalysisRecord()
    ref.run_analysis(study, ScriptedGenerator(HAND_DRAWS), [0.0] * 4, record, "sequential")
    assert record.exceed[1:] == [2.0, 0.5, 2.0]
    f = Fraction
    assert record.trait_squares == 10.0
    assert record.permuted_squares[1:] == [10.0] * 4
    # (sum_xx, sum_zz, sum_xz, sum_xy, sum_zy, T_obs) worked out by hand
    expected = {1: (f(2), f(21993, 16384), f(-7, 32), f(3), f(-107, 64), f(253577, 16384)),
                2: (f(5865, 16384), f(15337, 16384), f(-5783, 16384), f(85, 64), f(-171, 64),
                    f(3485, 2048))}
    for j, sums in expected.items():
        got = (record.sum_xx[j], record.sum_zz[j], record.sum_xz[j], record.sum_xy[j],
               record.sum_zy[j], record.stat_observed[j])
        assert tuple(Fraction(v) for v in got) == sums, j
    assert record.stat_permuted[1][1:3] == record.stat_observed[1:3]
    assert record.stat_permuted[4][1] == record.stat_observed[1]
    assert record.stat_permuted[2][1] > record.stat_observed[1]
    assert record.stat_permuted[3][1] < record.stat_observed[1]
    assert all(record.stat_permuted[r][2] < record.stat_observed[2] for r in (2, 3, 4))
    assert all(record.stat_permuted[r][3] == 0.0 for r in (1, 2, 3, 4))


def test_hand_worked_table_of_the_four_individual_study():
    # marker 1: Delta = 21601/8192; BETA_ADD = 59987/43202, BETA_DOM = -22016/21601,
    #   sigma2 = 10 - 253577/43202 = 178443/43202 (d = 1), F = 253577/356886,
    #   P = (1 + 2F)^(-1/2) = sqrt(178443/432020) = 0.642685
    # marker 2: Delta = 3449/16384; BETA_ADD = 4918/3449, BETA_DOM = -7990/3449,
    #   sigma2 = 6610/3449, F = 1394/661, P = sqrt(661/3449) = 0.437778
    # EMP1 = (0.5 + 1 + 0 + 0.5)/4, (0.5 + 0 + 0 + 0)/4 and 0.5.
    # Replicate maxima of T/(Delta*S_r): r1 0.80835 (marker 2's observed
    # ratio), r2 0.83201 (marker 1), r3 0.46219, r4 0.58696 (marker 1's
    # observed ratio, exactly): marker 1 (0.58696) is reached by r1, r2, r4,
    # marker 2 (0.80835) by r1, r2, so EMP2 = 4/5 and 3/5.
    run = run_hand_study()
    assert run.status == 0 and run.table_name == "out.tsv"
    assert run.table_text == (
        "#CHROM\tPOS\tID\tA1\tA2\tA1_FREQ\tOBS_CT\tBETA_ADD\tSE_ADD\tBETA_DOM\tSE_DOM"
        "\tF_STAT\tP\tEMP1\tEMP2\n"
        "3\t100\trs1\tG\tA\t0.5\t4\t1.38852\t1.45007\t-1.01921\t1.76999\t0.710527\t0.642685"
        "\t0.5\t0.8\n"
        "3\t250\trs2\tT\tC\t0.75\t2\t1.42592\t2.91929\t-2.31661\t1.80527\t2.10893\t0.437778"
        "\t0.125\t0.6\n"
        "X\t7\trs3\tA\tG\t0.5\t4\tNA\tNA\tNA\tNA\tNA\tNA\t0.5\tNA\n")
    assert "marker2    P-value=0.125000\n" in run.stdout_text
    # the table leaves the rest of the output as the bare run writes it
    bare = run_hand_study(with_table=False)
    assert (bare.stdout_text, bare.results_text) == (run.stdout_text, run.results_text)
    assert bare.table_name is None and bare.table_text is None


def test_hand_worked_means_adjustment_of_the_four_individual_study():
    # One group, so every code loses the mean of its column.
    #   marker 1: x = (1, 0, -1, 0) stays, z = (0, 1, 0, 1) -> (-1/2, 1/2, -1/2, 1/2):
    #     sum_xx 2, sum_zz 1, sum_xz 0, sum_xy 3, sum_zy -1, T = 11, Delta = 2;
    #     BETA_ADD 3/2, BETA_DOM -1, sigma2 = (10 - 11/2)/(4 - 2 - 1) = 9/2,
    #     SE_ADD 3/2, SE_DOM sqrt(9/2), F = 11/18, P = (1 + 22/18)^(-1/2) = sqrt(0.45)
    #   marker 2: x = (1, 1/2, 1/2, 0) -> (1/2, 0, 0, -1/2) and z = -x: degenerate,
    #     every T is 0 (four ties)
    #   marker 3: x and z all zero: degenerate, four ties
    # The replicates' donors give marker 1 T = 11 (tie), 19, 4, 11 (tie): c = 2
    # of R = 4, P = 1/2, EMP1 = 3/5; S_r = 10 throughout, so EMP2 counts the
    # replicates with T >= 11: (1 + 3)/5.
    with tempfile.TemporaryDirectory() as folder:
        write_files(folder, HAND_STUDY)
        study = ref.read_parameters(folder, [])
    record = ref.AnalysisRecord()
    p_values = [0.0] * 4
    ref.run_analysis(study, ScriptedGenerator(HAND_DRAWS), p_values, record)
    assert record.adjustment == "means" and record.lists == 1
    assert (record.sum_xx[1], record.sum_zz[1], record.sum_xz[1], record.sum_xy[1],
            record.sum_zy[1], record.stat_observed[1]) == (2.0, 1.0, 0.0, 3.0, -1.0, 11.0)
    assert [record.stat_permuted[r][1] for r in (1, 2, 3, 4)] == [11.0, 19.0, 4.0, 11.0]
    assert record.trait_squares == 10.0 and record.permuted_squares[1:] == [10.0] * 4
    assert record.exceed[1:] == [2.0, 2.0, 2.0] and p_values[1:] == [0.5, 0.5, 0.5]

    run = run_hand_study(adjustment="means")
    assert run.table_text == (
        "#CHROM\tPOS\tID\tA1\tA2\tA1_FREQ\tOBS_CT\tBETA_ADD\tSE_ADD\tBETA_DOM\tSE_DOM"
        "\tF_STAT\tP\tEMP1\tEMP2\n"
        "3\t100\trs1\tG\tA\t0.5\t4\t1.5\t1.5\t-1\t2.12132\t0.611111\t0.67082"
        "\t0.6\t0.8\n"
        "3\t250\trs2\tT\tC\t0.75\t2\tNA\tNA\tNA\tNA\tNA\tNA\t0.6\tNA\n"
        "X\t7\trs3\tA\tG\t0.5\t4\tNA\tNA\tNA\tNA\tNA\tNA\t0.6\tNA\n")
    # the P-values (c/R) of stdout and the results file; the final sort's
    # pivot is marker 2, so the equal P-values come out as 2, 3, 1
    assert run.stdout_text.endswith("marker1    P-value=0.500000\nmarker2    P-value=0.500000\n"
                                    "marker3    P-value=0.500000\n")
    assert run.results_text.endswith("marker#   P-value\n2        0.50000\n"
                                     "3        0.50000\n1        0.50000\n")
    # the default of run_full and of run_program
    rng = ScriptedGenerator(HAND_DRAWS)
    with tempfile.TemporaryDirectory() as folder:
        write_files(folder, HAND_STUDY)
        default = ref.run_full(folder, with_table=True, rng=rng)
    assert default.table_text == run.table_text


# Six individuals, each alone at a background locus (one group by the
# structure test), in the user's clusters a = {1, 3, 5, 6} and b = {2, 4}.
# Centred trait y = (3, -3, 1, -1, -1, 1): cluster means 1 and -2, so
# S = 4 + 1 + 0 + 1 + 4 + 0 = 10 (the sum of y*y is 22), G = 2, d = 6 - 2 - 2.
# Codes x = (1, -1, 0, 1, -1, 1), z = (0, 0, 1, 0, 0, 0); cluster means of x
# 1/4 and 0, of z 1/4 and 0:
#   x = (3/4, -1, -1/4, 1, -5/4, 3/4), z = (-1/4, 0, 3/4, 0, -1/4, -1/4);
#   sum_xx 19/4, sum_zz 3/4, sum_xz -1/4, sum_xy 6, sum_zy 0, T = 27,
#   Delta = 7/2; BETA_ADD 9/7, BETA_DOM 3/7, sigma2 = (10 - 54/7)/2 = 8/7,
#   SE_ADD sqrt(12)/7, SE_DOM sqrt(76)/7, F = 27/8, P = 1/(1 + F) = 8/35.
# Replicates (donors drawn within the clusters): r1 the identity (T = 27, a
# tie), r2 (3, 4, 1, 2, 5, 6) (T = 19), r3 (3, 2, 1, 4, 5, 6) (T = 35): c = 1.5
# of R = 3, P = 1/2, EMP1 = 2.5/4, EMP2 = (1 + 2)/4.
SIX_APART = "h\n" + "".join(
    " ".join("2 0" if locus == i else "0 0" for locus in range(6)) + "\n" for i in range(6))
CLUSTER_STUDY = {
    "parameter.txt": parameter_text(3, 6, 1, 6),
    "g.txt": SIX_APART,
    "t.txt": "h\n13 1 1\n7 0 0\n11 0 1\n9 1 1\n9 0 0\n11 1 1\n",
}
# one label a line, white space around it, blank lines skipped; the last
# line may lack its end
CLUSTER_FILE = "a\n\tb\n a\t\nb \r\n\na\na"
CLUSTER_DRAWS = ([0.0] * 6 + [0.0] * 6
                 + [0.0] * 6 + [0.25, 0.5, 0.0, 0.0, 0.0, 0.0]
                 + [0.0] * 6 + [0.25, 0.0, 0.0, 0.0, 0.0, 0.0])


def run_cluster_study(adjustment="means", clusters=CLUSTER_FILE, draws=CLUSTER_DRAWS):
    rng = ScriptedGenerator(draws)
    with tempfile.TemporaryDirectory() as folder:
        write_files(folder, dict(CLUSTER_STUDY, **{"clusters.txt": clusters}))
        study = ref.read_parameters(folder, [])
        labels = ref.read_clusters(os.path.join(folder, "clusters.txt"), 6)
        record = ref.AnalysisRecord()
        ref.run_analysis(study, ScriptedGenerator(draws), [0.0, 0.0], record, adjustment, labels)
        run = ref.run_full(folder, with_table=True, rng=rng, adjustment=adjustment,
                           clusters_file=os.path.join(folder, "clusters.txt"))
    assert rng.draws == len(draws)
    return labels, record, run


def test_hand_worked_study_with_the_users_clusters():
    labels, record, run = run_cluster_study()
    assert labels[1:] == ["a", "b", "a", "b", "a", "a"]
    assert record.lists == 2 and record.trait_squares == 10.0
    assert record.permuted_squares[1:] == [10.0] * 3  # moves within clusters keep S
    assert (record.sum_xx[1], record.sum_zz[1], record.sum_xz[1], record.sum_xy[1],
            record.sum_zy[1]) == (4.75, 0.75, -0.25, 6.0, 0.0)
    assert [record.stat_observed[1]] + [record.stat_permuted[r][1] for r in (1, 2, 3)] == \
        [27.0, 27.0, 19.0, 35.0]
    assert record.exceed[1:] == [1.5]
    assert run.stdout_text.startswith("There does not exist population structure\n")
    assert run.stdout_text.endswith("marker1    P-value=0.500000\n")
    assert run.table_text.split("\n")[1] == \
        ".\t.\t1\t.\t.\t0.583333\t6\t1.28571\t0.494872\t0.428571\t1.2454\t3.375" \
        "\t0.228571\t0.625\t0.75"
    # the sequential adjustment of the same clusters: S = 22, d = 6 - 3, EMP1 = c/R
    _, record, run = run_cluster_study("sequential")
    assert record.trait_squares == 22.0 and record.permuted_squares[1:] == [22.0] * 3
    fields = run.table_text.split("\n")[1].split("\t")
    assert fields[13] == "0.5" and record.stat_observed[1] != 27.0
    fit = ref.marker_fit(record.sum_zz[1], record.sum_xx[1], record.sum_xy[1],
                         record.sum_zy[1], record.sum_xz[1], record.stat_observed[1], 22.0, 6)
    assert fields[11] == ref.c_format_g(fit.f_stat)


def test_cluster_file_errors():
    for text in ("a\nb\na\nb\na\n", "a\nb\na\nb\na\na\nb\n"):  # one label short, one over
        try:
            run_cluster_study(clusters=text)
        except ref.InputError:
            continue
        raise AssertionError("accepted %r" % text)


def test_marker_fit_na_rules():
    fit = ref.marker_fit(1.0, 1.0, 1.0, 1.0, 0.0, 2.0, 10.0, 3)  # d = 0
    assert not fit.degenerate and (fit.beta_add, fit.beta_dom) == (1.0, 1.0)
    assert (fit.se_add, fit.se_dom, fit.f_stat, fit.p) == (None,) * 4
    fit = ref.marker_fit(1.0, 1.0, 1.0, 1.0, 0.0, 2.0, 10.0, 4)  # d = 1, sigma2 = 8
    assert (fit.se_add, fit.f_stat) == (math.sqrt(8.0), 1.0 / 8.0)
    # d = N - 2 - G with G list means taken out: G = 2 of N = 5 leaves d = 1
    fit = ref.marker_fit(1.0, 1.0, 1.0, 1.0, 0.0, 2.0, 10.0, 5, 2)
    assert (fit.se_add, fit.f_stat) == (math.sqrt(8.0), 1.0 / 8.0)
    assert fit.p == math.exp(-0.5 * math.log1p(2.0 / 8.0))
    for n, lists in ((5, 3), (5, 4), (4, 2)):  # d = 0, -1, 0: no standard errors
        fit = ref.marker_fit(1.0, 1.0, 1.0, 1.0, 0.0, 2.0, 10.0, n, lists)
        assert fit.beta_add == 1.0 and (fit.se_add, fit.se_dom, fit.f_stat, fit.p) == (None,) * 4
    fit = ref.marker_fit(1.0, 1.0, 1.0, 1.0, 0.0, 2.0, 10.0, 12, 5)  # d = 5, sigma2 = 8/5
    assert fit.f_stat == 1.0 / (8.0 / 5.0) and \
        fit.p == math.exp((-0.5 * 5.0) * math.log1p(2.0 * fit.f_stat / 5.0))
    for s in (2.0, 1.5, float("nan")):  # a perfect fit, a negative sigma2, NaN
        fit = ref.marker_fit(1.0, 1.0, 1.0, 1.0, 0.0, 2.0, s, 10)
        assert fit.beta_add == 1.0 and (fit.se_add, fit.se_dom, fit.f_stat, fit.p) == (None,) * 4
    # no association at all: F = 0 and P = 1 exactly
    fit = ref.marker_fit(1.0, 2.0, 0.0, 0.0, 0.5, 0.0, 4.0, 8)
    assert (fit.beta_add, fit.beta_dom, fit.f_stat, fit.p) == (0.0, 0.0, 0.0, 1.0)
    assert fit.se_add == math.sqrt((0.8 * 1.0) / 1.75)


def test_marker_fit_degenerate_markers():
    # no dominance variation, no additive variation, nothing at all (0 <= 0)
    for sums in ((0.0, 2.0, 1.0, 0.0, 0.0), (2.0, 0.0, 0.0, 1.0, 0.0), (0.0,) * 5):
        fit = ref.marker_fit(*sums, 1.0, 10.0, 20)
        assert fit.degenerate and fit.beta_add is None and fit.p is None
    # collinear codes up to rounding: Delta = 1 - (1 - 2^-40)^2, below 1e-9
    fit = ref.marker_fit(1.0, 1.0, 0.5, 0.5, 1.0 - 2.0 ** -40, 0.1, 10.0, 20)
    assert fit.degenerate
    fit = ref.marker_fit(1.0, 1.0, 0.5, 0.5, 1.0 - 1e-4, 0.1, 10.0, 20)
    assert not fit.degenerate and fit.beta_add is not None


def test_marker_fit_p_value_is_the_f_2_d_tail():
    for n, t_obs in ((4, 3.0), (13, 0.7), (200, 5.5)):
        fit = ref.marker_fit(2.0, 1.0, 1.0, 1.0, 0.25, t_obs, 12.0, n)
        d = n - 3.0
        assert abs(fit.p - (1.0 + 2.0 * fit.f_stat / d) ** (-d / 2.0)) < 1e-12
        explained = t_obs / (2.0 * 1.0 - 0.25 * 0.25)
        assert abs(fit.f_stat - (explained / 2.0) / ((12.0 - explained) / d)) < 1e-12


def test_family_wise_p_values_on_listed_replicates():
    nan = float("nan")
    deltas = one_based([1.0, 1.0, 2.0])
    degenerate = one_based([False, True, False])
    stat_observed = one_based([4.0, 0.0, 6.0])  # thresholds 0.4 and 0.3 with S = 10
    # replicate ratios T/(Delta*S_r):
    #   r1: 0.5, (degenerate 99 ignored), 0.1     max 0.5  -> both count
    #   r2: 0.2, ignored, 0.35 (S_r = 20)         max 0.35 -> marker 3 only
    #   r3: 0.3, ignored, NaN                     max 0.3  -> marker 3 (equal)
    #   r4: 0/0 with S_r = 0 twice                max -inf -> neither
    stat_permuted = [None, one_based([5.0, 990.0, 2.0]), one_based([4.0, 0.0, 14.0]),
                     one_based([3.0, 5.0, nan]), one_based([0.0, 0.0, 0.0])]
    permuted_squares = one_based([10.0, 20.0, 10.0, 0.0])
    emp2 = ref.family_wise_p_values(deltas, degenerate, stat_observed, 10.0,
                                    stat_permuted, permuted_squares, 3, 4)
    assert emp2[1:] == [2.0 / 5.0, None, 4.0 / 5.0]
    # no non-degenerate marker: nothing to count, no value
    emp2 = ref.family_wise_p_values(deltas, one_based([True] * 3), stat_observed, 10.0,
                                    stat_permuted, permuted_squares, 3, 4)
    assert emp2[1:] == [None] * 3


def test_table_number_formats():
    assert ref.c_format_g(None) == "NA"
    assert ref.c_format_g(0.1234567) == "0.123457" and ref.c_format_g(-2.5e-17) == "-2.5e-17"
    assert ref.c_format_g(1.0) == "1" and ref.c_format_g(123456789.0) == "1.23457e+08"
    assert ref.c_format_g(0.0001) == "0.0001" and ref.c_format_g(0.00001) == "1e-05"
    assert ref.c_format_g(-abs(float("nan"))) == "-nan" and ref.c_format_g(math.inf) == "inf"
    assert ref.c_format_g(1.0 / 3.0, 7) == "0.3333333"
    # EMP1 needs digits(2R) + 1 digits, EMP2 digits(R + 1) + 1, at least 6
    assert ref.empirical_precisions(1) == (6, 6)
    assert ref.empirical_precisions(49999) == (6, 6)
    assert ref.empirical_precisions(50000) == (7, 6)
    assert ref.empirical_precisions(99999) == (7, 7)
    assert ref.empirical_precisions(500000) == (8, 7)
    assert ref.c_format_g(99999.0 / 100000.0, 7) == "0.99999"
    assert ref.c_format_g(123457.0 / 1000000.0, 7) == "0.123457"


def test_shortest_exact_printing():
    cases = {0.5: "0.5", 1.0 / 3.0: "0.3333333333333333", 2.0 / 1001.0: "0.001998001998001998",
             1.0: "1", 0.1: "0.1", 0.75: "0.75", 1.0 / 7.0: "0.14285714285714285",
             1.0 / 100001.0: "9.99990000099999e-06", 3.0 / 40000.0: "7.5e-05",
             (2.5 + 1.0) / (60.0 + 1.0): "0.05737704918032787"}
    for value, text in cases.items():
        assert ref.shortest_g(value) == text, (value, ref.shortest_g(value))
    assert ref.shortest_g(None) == "NA"
    # (c + 1)/(R + 1) for every c of R replicates: the text reads back as the
    # same double, and one digit fewer does not
    for r in (1, 7, 60, 999, 1000, 99999):
        for c2 in sorted({0, 1, 2, 3, r, 2 * r - 1, 2 * r, (2 * r) // 3}):
            value = (c2 / 2.0 + 1.0) / (r + 1.0)
            text = ref.shortest_g(value)
            assert float(text) == value
            digits = len(text.split("e")[0].replace(".", "").replace("-", "").lstrip("0"))
            assert digits == 1 or float("%.*g" % (digits - 1, value)) != value, (value, text)


def test_table_file_name():
    cases = {"results.txt": "results.tsv", "results": "results.tsv",
             "out.v2/results": "out.v2/results.tsv", "a.b.c": "a.b.tsv",
             ".results": ".results.tsv", "dir/.results": "dir/.results.tsv",
             "dir/x.txt": "dir/x.tsv", "x.": "x.tsv"}
    for results, table in cases.items():
        assert ref.table_path(results) == table, results


def marker_table_of(markers_tsv, m=3):
    with tempfile.TemporaryDirectory() as folder:
        if markers_tsv is not None:
            write_files(folder, {"markers.tsv": markers_tsv})
        return ref.read_marker_descriptions(folder, m)


def test_marker_descriptions_from_markers_tsv():
    header = "marker\tid\tchromosome\tposition\tallele1\tallele2\n"
    rows = ["1\trs1\t1\t10\tA\tG\n", "2\trs2\t1\t20\tC\tT\n", "3\trs3\t2\t5\tG\tA\n"]
    info = marker_table_of(header + "".join(rows))
    assert info[1:] == [("rs1", "1", "10", "A", "G"), ("rs2", "1", "20", "C", "T"),
                        ("rs3", "2", "5", "G", "A")]
    # any line order, empty lines, CRLF line ends, extra fields, a header of any text
    text = "anything\r\n" + rows[2] + "\n" + rows[0].replace("\n", "\r\n") + \
        rows[1].replace("\n", "\textra\n")
    assert marker_table_of(text) == info
    # numbers as strtol reads a whole field; a number given twice keeps its last line
    assert marker_table_of(header + " 1" + rows[0][1:] + "+2" + rows[1][1:] + rows[2]) == info
    assert marker_table_of(header + "".join(rows) + "2\tnew\t9\t9\tT\tT\n")[2][0] == "new"
    unusable = [
        None,                                          # absent
        header + rows[0] + rows[2],                    # marker 2 not described
        header + rows[0] + "2x" + rows[1][1:] + rows[2],
        header + rows[0] + "2 " + rows[1][1:] + rows[2],
        header + "".join(rows) + "4\trs4\t2\t6\tA\tC\n",  # beyond M
        header + "".join(rows) + "0\trs0\t2\t6\tA\tC\n",
        header + rows[0] + "2\trs2\t1\t20\tC\n" + rows[2],  # five fields
        header + "1 rs1 1 10 A G\n" + rows[1] + rows[2],  # not tab-separated
    ]
    for text in unusable:
        assert marker_table_of(text) is None, text


def test_table_without_markers_tsv_numbers_the_markers():
    files = dict(HAND_STUDY)
    del files["markers.tsv"]
    rng = ScriptedGenerator(HAND_DRAWS)
    with tempfile.TemporaryDirectory() as folder:
        write_files(folder, files)
        lines = ref.run_full(folder, with_table=True, rng=rng).table_text.split("\n")
    assert [line.split("\t")[:5] for line in lines[1:4]] == \
        [[".", ".", str(j), ".", "."] for j in (1, 2, 3)]
    assert [line.split("\t")[5:] for line in lines[1:4]] == \
        [line.split("\t")[5:] for line in
         run_hand_study(adjustment="means").table_text.split("\n")[1:4]]


def test_table_option_writes_the_table_beside_the_results_file():
    script = os.path.join(HERE, "strataperm_reference.py")
    outputs = {}
    for arguments in ([], ["--table"]):
        with tempfile.TemporaryDirectory() as folder:
            make_study.write_study(folder, 5, "missing")
            completed = subprocess.run([sys.executable, script] + arguments, cwd=folder,
                                       stdout=subprocess.PIPE, check=True)
            present = sorted(name for name in os.listdir(folder) if name.startswith("results"))
            with open(os.path.join(folder, "results.txt"), "rb") as handle:
                outputs[len(arguments)] = (completed.stdout, handle.read(), present)
    assert outputs[0][2] == ["results.txt"] and outputs[1][2] == ["results.tsv", "results.txt"]
    assert outputs[0][:2] == outputs[1][:2]
    bad = subprocess.run([sys.executable, script, "--tables"], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    assert bad.returncode == 2


def test_command_line_chooses_the_adjustment_and_the_clusters():
    script = os.path.join(HERE, "strataperm_reference.py")
    with tempfile.TemporaryDirectory() as folder:
        clusters = os.path.join(folder, "clusters.txt")
        make_study.write_study(folder, 7, "two", clusters_file=clusters)
        expected = {
            "means": ref.run_full(folder, with_table=True),
            "sequential": ref.run_full(folder, with_table=True, adjustment="sequential"),
            "within": ref.run_full(folder, with_table=True, clusters_file=clusters),
        }
        arguments = {"means": ["--adjustment", "means"], "sequential": ["--adjustment", "sequential"],
                     "within": ["--within", clusters]}
        for name, extra in arguments.items():
            completed = subprocess.run([sys.executable, script, "--table"] + extra, cwd=folder,
                                       stdout=subprocess.PIPE, check=True)
            with open(os.path.join(folder, "results.tsv"), encoding="latin-1") as handle:
                table = handle.read()
            assert (completed.stdout.decode("latin-1"), table) == \
                (expected[name].stdout_text, expected[name].table_text), name
        # the three differ from one another in the table
        assert len({run.table_text for run in expected.values()}) == 3
        for extra in (["--adjustment"], ["--adjustment", "mean"], ["--within"]):
            bad = subprocess.run([sys.executable, script] + extra, cwd=folder,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            assert bad.returncode == 2, extra


# ---------------------------------------------------------------------------
# formatting and IEEE helpers
# ---------------------------------------------------------------------------

def test_c_format():
    nan = float("nan")
    assert ref.c_format_f(abs(nan)) == "nan"
    assert ref.c_format_f(-abs(nan)) == "-nan"
    assert ref.c_format_f(math.inf) == "inf" and ref.c_format_f(-math.inf) == "-inf"
    assert ref.c_format_f(1.0, 7, 5) == "1.00000"
    assert ref.c_format_f(0.0, 7, 5) == "0.00000"
    assert ref.c_format_f(-abs(nan), 7, 5) == "   -nan"
    assert ref.c_format_f(0.5) == "0.500000"
    assert ref.c_format_f(2.5e-7) == "0.000000" and ref.c_format_f(-1234.5) == "-1234.500000"
    # exact binary ties round to even, as glibc does
    assert ref.c_format_f(0.125, 0, 2) == "0.12" and ref.c_format_f(0.375, 0, 2) == "0.38"


def test_ieee_helpers():
    assert is_negative_nan(ref.ieee_div(0.0, 0.0))
    assert ref.ieee_div(1.0, 0.0) == math.inf and ref.ieee_div(-1.0, 0.0) == -math.inf
    assert ref.ieee_div(1.0, -0.0) == -math.inf
    assert ref.ieee_log(0.0) == -math.inf
    assert math.isnan(ref.ieee_log(-1.0))
    assert ref.ieee_exp(1000.0) == math.inf
    assert is_negative_nan(math.inf * 0.0)  # the platform's default NaN has its sign set


# ---------------------------------------------------------------------------
# whole program
# ---------------------------------------------------------------------------

def test_monomorphic_and_no_homozygote_markers_give_one_half():
    # marker 1 homozygous only, marker 2 heterozygous only (sums 1 and 3)
    geno = "h\n0 0 1 1\n1 1 0 0\n0 1 1 1\n1 0 0 1\n"
    traits = "h\n1.5 0 0 0 1\n2.5 1 1 1 2\n-3 1 1 1 0\n7 0 0 2 1\n"
    status, out, name, results = run_files({
        "parameter.txt": parameter_text(9, 2, 2, 4),
        "g.txt": geno, "t.txt": traits})
    assert status == 0 and name == "out.txt"
    assert "marker1    P-value=0.500000\n" in out
    assert "marker2    P-value=0.500000\n" in out
    assert results.endswith("marker#   P-value\n1        0.50000\n2        0.50000\n") or \
        results.endswith("marker#   P-value\n2        0.50000\n1        0.50000\n")


def test_generated_studies_are_consistent():
    for seed in range(14):
        regime = make_study.ALL_REGIMES[seed % len(make_study.ALL_REGIMES)]
        with tempfile.TemporaryDirectory() as folder:
            make_study.write_study(folder, seed, regime)
            status, out, name, results = ref.run_program(folder)
            assert (status, out, name, results) == ref.run_program(folder)  # repeatable
            study = ref.read_parameters(folder, [])
        assert status == 0 and name == "results.txt"
        r, m = study.n_permutations, study.n_markers
        out_lines = out.split("\n")
        res_lines = results.split("\n")
        # four-line verdict blocks, the file's with its full stops
        assert out_lines[3] == "" and res_lines[3] == ""
        assert res_lines[2].endswith(".") and not out_lines[2].endswith(".")
        console = {}
        for i in range(1, m + 1):
            line = out_lines[3 + i]
            assert line.startswith("marker%-3d  P-value=" % i)
            console[i] = float(line.split("=")[1])
        assert res_lines[4] == "marker#   P-value"
        table = [(int(line[:5]), line[9:]) for line in res_lines[5:5 + m]]
        assert sorted(marker for marker, _ in table) == list(range(1, m + 1))
        values = [float(text) for _, text in table]
        assert values == sorted(values)
        for marker, text in table:
            assert abs(float(text) - console[marker]) <= 6e-6
            # every P-value is a multiple of 1/(2R)
            count = console[marker] * 2 * r
            assert abs(count - round(count)) < 1e-3 and 0 <= round(count) <= 2 * r


def generated_table(seed, regime, adjustment="means", **sizes):
    with tempfile.TemporaryDirectory() as folder:
        make_study.write_study(folder, seed, regime, **sizes)
        study = ref.read_parameters(folder, [])
        run = ref.run_full(folder, with_table=True, adjustment=adjustment)
        has_markers_tsv = os.path.exists(os.path.join(folder, "markers.tsv"))
        info = ref.read_marker_descriptions(folder, study.n_markers)
    rows = [line.split("\t") for line in run.table_text.split("\n")[1:-1]]
    return study, run, rows, has_markers_tsv, info


def test_missing_call_regimes_make_what_they_promise():
    seen = set()
    for seed in range(30):
        regime = make_study.MISSING_CALL_REGIMES[seed % 3]
        adjustment = ref.ADJUSTMENTS[(seed // 3) % 2]
        study, run, rows, has_markers_tsv, info = generated_table(seed, regime, adjustment)
        r_count = study.n_permutations
        n, m = study.n_individuals, study.n_markers
        called = [sum(study.marker_called[i][j] for i in range(1, n + 1)) for j in range(1, m + 1)]
        assert min(called) >= 1 and 1 in called and min(called) < n
        if regime == "constant":
            assert len({study.trait[i][1] for i in range(1, n + 1)}) == 1
        assert run.status == 0 and len(rows) == m
        console = [line.split("=")[1] for line in run.stdout_text.split("\n") if "P-value=" in line]
        for j, row in enumerate(rows, 1):
            assert len(row) == 15 and row[6] == str(called[j - 1])
            if adjustment == "sequential":  # EMP1 is the P-value c/R
                assert "%.6f" % float(row[13]) == console[j - 1]
            else:  # (c + 1)/(R + 1), c recovered from the printed c/R
                c = round(float(console[j - 1]) * r_count * 2.0) / 2.0
                assert float(row[13]) == (c + 1.0) / (r_count + 1.0)
            if row[7] == "NA":  # degenerate: everything but the counts and EMP1
                assert row[8:13] == ["NA"] * 5 and row[14] == "NA"
                seen.add(regime + " degenerate")
            elif row[14] == "NA":  # a whole-number constant trait: S = 0, no ratio
                assert regime == "constant" and row[8] == "NA"
                seen.add(regime + " fitted")
            else:
                count = float(row[14]) * (study.n_permutations + 1)  # 1 + replicates reached
                assert abs(count - round(count)) < 1e-3 and 1 <= round(count)
                assert round(count) <= study.n_permutations + 1
                seen.add(regime + " fitted")
            if info is None:
                assert row[:5] == [".", ".", str(j), ".", "."]
        seen.add("markers.tsv " + ("absent" if not has_markers_tsv else
                                   "unusable" if info is None else "used"))
    assert seen >= {"missing degenerate", "missing fitted", "degenerate degenerate",
                    "degenerate fitted", "constant fitted", "markers.tsv absent",
                    "markers.tsv unusable", "markers.tsv used"}


def test_marker_table_request_leaves_the_data_files_alone():
    for seed, regime in ((2, "two"), (3, "mixed"), (4, "ties")):
        contents = []
        for marker_table in (False, True):
            with tempfile.TemporaryDirectory() as folder:
                make_study.write_study(folder, seed, regime, marker_table=marker_table)
                names = sorted(os.listdir(folder))
                texts = {}
                for name in names:
                    with open(os.path.join(folder, name)) as handle:
                        texts[name] = handle.read()
                contents.append(texts)
        assert "markers.tsv" not in contents[0]
        contents[1].pop("markers.tsv", None)
        assert contents[0] == contents[1]


STAND_IN = """#!%(python)s
# Stands in for the program: bare, the reference in the current folder;
# "run [OPTIONS] FOLDER", the reference with --table in FOLDER.
import os, subprocess, sys
arguments = sys.argv[1:]
if not arguments:
    sys.exit(subprocess.call([sys.executable, %(reference)r]))
folder, options = arguments[-1], arguments[1:-1]
fault = %(fault)r
if fault.startswith("ignore "):  # drop an option and its value
    k = options.index(fault[len("ignore "):]) if fault[len("ignore "):] in options else -1
    if k >= 0:
        del options[k:k + 2]
os.chdir(folder)
status = subprocess.call([sys.executable, %(reference)r, "--table"] + options)
if fault == "last table line":
    with open("results.tsv") as handle:
        lines = handle.readlines()
    with open("results.tsv", "w") as handle:
        handle.writelines(lines[:-1])
sys.exit(status)
"""


def test_comparison_passes_a_faithful_binary_and_catches_faulty_ones():
    import compare_with_reference as compare
    reference = os.path.join(HERE, "strataperm_reference.py")
    with tempfile.TemporaryDirectory() as workdir:
        programs = {}
        for fault in ("", "last table line", "ignore --adjustment", "ignore --within"):
            path = os.path.join(workdir, "program_" + fault.replace(" ", "_"))
            with open(path, "w") as handle:
                handle.write(STAND_IN % {"python": sys.executable, "reference": reference,
                                         "fault": fault})
            os.chmod(path, 0o755)
            programs[fault] = path
        # (seed, regime, table, the faults to catch, where they show)
        studies = ((2, "missing", True, (("last table line", "[means] results.tsv"),
                                         ("ignore --within", "[within] "))),
                   (6, "overlap", False, (("ignore --adjustment", "[sequential] "),)))
        for seed, regime, table, faults in studies:
            ok, report = compare.check_study(programs[""], workdir, seed, regime, table, True)
            assert ok and report == [], report
            for fault, caught in faults:
                ok, report = compare.check_study(programs[fault], workdir, seed, regime,
                                                 table, True)
                assert not ok and any(caught in line for line in report), (fault, report)
                assert any(line.startswith("    reference: ") for line in report)
        # about one study in five runs with clusters
        share = sum(compare.with_clusters(seed, regime) for seed in range(1, 301)
                    for regime in ("one", "missing"))
        assert 80 <= share <= 160


def test_cluster_file_lines():
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "clusters.txt")
        for with_ids in (False, True):
            fields = set()
            for seed in range(30):
                labels = make_study.write_cluster_file(path, seed, "one", 12, with_ids)
                with open(path, newline="") as handle:
                    lines = handle.read().split("\n")
                if lines[-1] == "":
                    lines.pop()
                assert [line.split()[-1] for line in lines] == labels
                fields |= {len(line.split()) for line in lines}
            assert fields == ({1, 3} if with_ids else {1})


def test_cluster_files_use_every_label_and_leave_the_study_alone():
    counts = set()
    for seed in range(40):
        regime = make_study.ALL_REGIMES[seed % len(make_study.ALL_REGIMES)]
        texts = []
        for clusters in (False, True):
            with tempfile.TemporaryDirectory() as folder:
                path = os.path.join(folder, "clusters.txt") if clusters else None
                make_study.write_study(os.path.join(folder, "study"), seed, regime,
                                       clusters_file=path)
                study = ref.read_parameters(os.path.join(folder, "study"), [])
                names = sorted(os.listdir(os.path.join(folder, "study")))
                contents = {}
                for name in names:
                    with open(os.path.join(folder, "study", name)) as handle:
                        contents[name] = handle.read()
                texts.append(contents)
                if clusters:
                    labels = ref.read_clusters(path, study.n_individuals)
        assert texts[0] == texts[1]
        distinct = set(labels[1:])
        assert 1 <= len(distinct) <= min(4, study.n_individuals)
        counts.add(len(distinct))
    assert counts == {1, 2, 3, 4}


def test_one_group_run_draws_two_per_individual_per_replicate():
    with tempfile.TemporaryDirectory() as folder:
        make_study.write_study(folder, 3, "one", n=12, l_count=10, m=1, r_count=7)
        study = ref.read_parameters(folder, [])
        rng = ref.Generator(3, 1, 1)
        p_values = [0.0, 0.0]
        result = ref.run_analysis(study, rng, p_values)
    assert result.one_group_override
    assert rng.draws == 7 * 2 * 12


def test_input_reading_is_positional_and_whitespace_free():
    params = ("label 1 2 3\ng.txt and more\nlabel 4\n\nt.txt\nlabel\nout.txt\n"
              "99 labels\n\n  5 permutations\nl\n2\nm\n1 marker\nn\n3\n")
    geno_lines = "header 1 2\n0 1 1 1\n1 1 0 0\n0 0 1 0\n"
    geno_spread = "header\n0\n1 1\n1 1 1\n0 0 0 0 1 0\n"
    traits_lines = "header\n0.25 0 1\n1e1 1 1\n-2.0 0 0\n"
    traits_spread = "header\n0.25\n0\n1 1e1 1 1 -2.0 0\t0\n"
    first = run_files({"parameter.txt": params, "g.txt": geno_lines, "t.txt": traits_lines})
    second = run_files({"parameter.txt": params, "g.txt": geno_spread, "t.txt": traits_spread})
    assert first[0] == 0 and first == second


def test_numbers_are_read_like_c_formatted_input():
    scan = ref.Scanner(".5 5. +3 1E+2 0x1p3 -0x.8 inf -nan 12abc 7")
    values = [scan.read_double() for _ in range(8)]
    assert values[:7] == [0.5, 5.0, 3.0, 100.0, 8.0, -0.5, math.inf]
    assert is_negative_nan(values[7])
    assert scan.read_int() == 12  # the integer stops at the first non-digit
    scan = ref.Scanner("a\nb\r\n  c")
    assert scan.skip_lines(2) == 2 and scan.read_string() == "c"
    assert scan.skip_lines(3) == 0


def test_missing_files_are_reported():
    status, out, name, _ = run_files({})
    assert (status, out, name) == (1, "can't open file parameter.txt in current directory\n", None)
    status, out, name, _ = run_files({"parameter.txt": parameter_text(1, 1, 1, 2)})
    assert (status, out) == (1, "can't open file g.txt in current directory\n")
    status, out, name, _ = run_files({"parameter.txt": parameter_text(1, 1, 1, 2),
                                      "g.txt": "h\n0 0\n1 1\n"})
    assert (status, out) == (1, "can't open file t.txt in current directory\n")


# ---------------------------------------------------------------------------
# covariates
# ---------------------------------------------------------------------------

def column(values):
    return [0.0] + [float(v) for v in values]


def exact_regression(columns, y):
    """Least squares in rationals: (coefficients, residual, residual sum of
    squares, the inverse of X'X) of y on the columns (0-based lists), by
    Gauss-Jordan elimination of the normal equations."""
    p = len(columns)
    n = len(y)
    a = [[sum(columns[r][i] * columns[c][i] for i in range(n)) for c in range(p)]
         + [Fraction(1 if r == c else 0) for c in range(p)] for r in range(p)]
    for c in range(p):
        pivot = next(r for r in range(c, p) if a[r][c] != 0)
        a[c], a[pivot] = a[pivot], a[c]
        a[c] = [v / a[c][c] for v in a[c]]
        for r in range(p):
            if r != c and a[r][c] != 0:
                a[r] = [u - a[r][c] * v for u, v in zip(a[r], a[c])]
    inverse = [row[p:] for row in a]
    xty = [sum(columns[r][i] * y[i] for i in range(n)) for r in range(p)]
    beta = [sum(inverse[r][c] * xty[c] for c in range(p)) for r in range(p)]
    residual = [y[i] - sum(beta[k] * columns[k][i] for k in range(p)) for i in range(n)]
    return beta, residual, sum(r * r for r in residual), inverse


def close(a, b, relative=1e-10):
    return abs(a - b) <= relative * max(abs(a), abs(b), 1e-300)


def test_least_squares_residual_is_orthogonal_to_every_column_and_exact():
    rng = __import__("random").Random(5)
    n = 12
    group = [0] + [1 if i <= 5 else 2 if i <= 9 else 3 for i in range(1, n + 1)]
    members = [[]] + [[k for k in range(1, n + 1) if group[k] == group[i]] for i in range(1, n + 1)]
    covariates = [[rng.gauss(0, 1), 40000.0 + 1000.0 * rng.gauss(0, 1), float(rng.randint(18, 80))]
                  for _ in range(n)]
    model = ref.CovariateModel(covariates, members, n)
    assert model.partition and model.k == 3 and model.rank == 6
    z_columns = ([[1.0] * n] + [[row[k] for row in covariates] for k in range(3)]
                 + [[1.0 if group[i] == g else 0.0 for i in range(1, n + 1)] for g in (2, 3)])
    for v in ([rng.gauss(10, 2) for _ in range(n)], [float(rng.randint(-1, 1)) for _ in range(n)]):
        r = model.residual(column(v))
        length = math.sqrt(sum(x * x for x in v))
        for z in z_columns:
            z_length = math.sqrt(sum(x * x for x in z))
            assert abs(sum(a * b for a, b in zip(z, r[1:]))) <= 1e-12 * z_length * length
        _, exact, _, _ = exact_regression([[Fraction(x) for x in z] for z in z_columns],
                                          [Fraction(x) for x in v])
        assert all(abs(float(e) - x) <= 1e-12 * length for e, x in zip(exact, r[1:]))
        again = model.residual(r)  # M_Z is idempotent
        assert all(abs(a - b) <= 1e-13 * length for a, b in zip(again[1:], r[1:]))
    # a constant vector lies in Z's span: its residual is exactly zero
    assert model.residual(column([0.1] * n)) == [0.0] * (n + 1)


def test_one_covariate_in_one_group_is_the_simple_regression():
    # c = (1, 2, 3, 4) centred (-3/2, -1/2, 1/2, 3/2), sum of squares 5;
    # v = (2, 4, 5, 9) centred (-3, -1, 0, 4), cross product 11: slope
    # 11/5, residual (-3 + 3.3, -1 + 1.1, 0 - 1.1, 4 - 3.3)
    members = [[]] + [[1, 2, 3, 4]] * 4
    model = ref.CovariateModel([[1.0], [2.0], [3.0], [4.0]], members, 4)
    assert (model.partition, model.k, model.rank) == (True, 1, 2)
    r = model.residual(column([2, 4, 5, 9]))
    assert all(abs(a - b) <= 1e-14 for a, b in zip(r[1:], (0.3, 0.1, -1.1, 0.7)))
    # a vector along the covariate leaves nothing
    assert all(abs(x) <= 1e-14 for x in model.residual(column([5, 7, 9, 11]))[1:])


def test_dependent_and_constant_covariates_are_refused_by_name():
    groups = [0, 1, 2, 1, 2, 1, 1]  # {1, 3, 5, 6} and {2, 4}
    partition = [[]] + [[k for k in range(1, 7) if groups[k] == groups[i]] for i in range(1, 7)]
    overlapping = [[], [1, 2], [1, 2, 3], [2, 3, 4], [3, 4, 5], [4, 5, 6], [5, 6]]
    free = [1.5, -0.5, 2.0, 0.25, 3.0, -1.0]

    def refusal(values, members=partition, names=("age", "batch")):
        rows = [list(row) for row in zip(*values)]
        try:
            ref.CovariateModel(rows, members, 6, list(names[:len(values)]), "cov.txt")
        except ref.InputError as error:
            return str(error)
        return None

    group2 = [1.0 if g == 2 else 0.0 for g in groups[1:]]
    group1 = [1.0 - x for x in group2]
    for indicator in (group2, group1, [3.0 * x - 2.0 for x in group2]):
        message = refusal([free, indicator])
        assert "batch" in message and "cov.txt" in message and "dependent" in message, message
    # with overlapping lists Z has no group indicators: the same column is free
    assert refusal([free, group2], overlapping) is None
    assert ref.CovariateModel([list(r) for r in zip(free, group2)], overlapping, 6).rank == 3
    message = refusal([free, [2.0 * a - 3.0 for a in free]])
    assert "batch" in message and "dependent" in message
    message = refusal([[7.25] * 6, free])
    assert "age" in message and "constant" in message and "cov.txt" in message
    # N = 6 individuals, two groups: Z may have five columns, three covariates
    rng = __import__("random").Random(3)
    columns = [[rng.gauss(0, 1) for _ in range(6)] for _ in range(4)]
    assert refusal(columns[:3], names=("1", "2", "3")) is None
    assert "too few" in refusal(columns, names=("1", "2", "3", "4"))
    assert refusal(columns, overlapping, names=("1", "2", "3", "4")) is None
    # the partition that Z's indicators follow
    assert ref.partition_groups(partition, 6) == ([0, 1, 2, 1, 2, 1, 1], 2)
    assert ref.partition_groups(overlapping, 6) is None
    assert ref.partition_groups([[], [2], [2]], 2) is None  # 1 is not in its own list
    assert ref.partition_groups([[]] + [[1, 2, 3]] * 3, 3) == ([0, 1, 1, 1], 1)


# The six-individual study with the users' clusters, and one covariate.
# Its fit must be the least-squares fit of the trait on the intercept, the
# covariate, the indicator of cluster b and the two codes (worked out here
# in rationals), the F test the one of the two codes against the
# covariates-only model, and the replicates must permute that model's
# residuals among the cluster's members.
COVARIATE_VALUES = (1.0, 4.0, 2.0, 8.0, 5.0, 7.0)


def covariate_study_run(clusters, covariates, draws=CLUSTER_DRAWS):
    rng = ScriptedGenerator(draws)
    with tempfile.TemporaryDirectory() as folder:
        write_files(folder, dict(CLUSTER_STUDY, **{
            "clusters.txt": clusters,
            "cov.txt": "".join(" ".join(repr(v) for v in row) + "\n" for row in covariates)}))
        run = ref.run_full(folder, with_table=True, rng=rng,
                           clusters_file=os.path.join(folder, "clusters.txt"),
                           covar_file=os.path.join(folder, "cov.txt"))
    assert rng.draws == len(draws)
    return run


def exact_marker_model(covariates, clusters, y, x, z):
    """(BETA_ADD, BETA_DOM, SE_ADD, SE_DOM, F, P, d) of the full regression
    and the exact residuals (ytilde, xtilde, ztilde) of the reduced one."""
    n = len(y)
    f = [Fraction(v) for v in y]
    labels = sorted(set(clusters), key=clusters.index)
    reduced = [[Fraction(1)] * n] + [[Fraction(row[k]) for row in covariates]
                                      for k in range(len(covariates[0]))]
    reduced += [[Fraction(1 if c == label else 0) for c in clusters] for label in labels[1:]]
    codes = [[Fraction(v) for v in x], [Fraction(v) for v in z]]
    beta, _, rss1, inverse = exact_regression(reduced + codes, f)
    _, ytilde, rss0, _ = exact_regression(reduced, f)
    d = n - len(reduced) - 2
    sigma2 = rss1 / d
    f_stat = (rss0 - rss1) / 2 / sigma2
    p = len(reduced)
    residuals = [ytilde] + [exact_regression(reduced, code)[1] for code in codes]
    return ((beta[p], beta[p + 1], math.sqrt(sigma2 * inverse[p][p]),
             math.sqrt(sigma2 * inverse[p + 1][p + 1]), f_stat,
             (1 + 2 * float(f_stat) / d) ** (-d / 2.0), d), residuals)


def exact_statistic(x, z, y):
    sxx, szz, sxz = sum(a * a for a in x), sum(a * a for a in z), sum(a * b for a, b in zip(x, z))
    sxy, szy = sum(a * b for a, b in zip(x, y)), sum(a * b for a, b in zip(z, y))
    return szz * sxy * sxy + sxx * szy * szy - 2 * sxz * szy * sxy


def test_covariate_fit_is_the_full_regression_and_replicates_permute_residuals():
    y = (13, 7, 11, 9, 9, 11)
    x = (1, -1, 0, 1, -1, 1)
    z = (0, 0, 1, 0, 0, 0)
    cases = (("a\nb\na\nb\na\na\n", [[v] for v in COVARIATE_VALUES], 2),
             ("a\na\na\na\na\na\n", [[v, float(i * i % 5)] for i, v in enumerate(COVARIATE_VALUES)],
              1))
    donors = {2: ((1, 2, 3, 4, 5, 6), (3, 4, 1, 2, 5, 6), (3, 2, 1, 4, 5, 6)),
              1: ((1, 2, 3, 4, 5, 6), (2, 4, 1, 3, 5, 6), (2, 1, 3, 4, 5, 6))}
    for clusters, covariates, lists in cases:
        labels = clusters.split()
        (beta_add, beta_dom, se_add, se_dom, f_stat, p, d), residuals = exact_marker_model(
            covariates, labels, y, x, z)
        run = covariate_study_run(clusters, covariates)
        record = run.record
        assert (record.lists, record.covariates, record.rank) == (lists, len(covariates[0]),
                                                                  lists + len(covariates[0]))
        assert d == 1 and 6 - 2 - record.lists - record.covariates == d
        fit = run.fits[1]
        for ours, exact in ((fit.beta_add, beta_add), (fit.beta_dom, beta_dom),
                            (fit.se_add, se_add), (fit.se_dom, se_dom), (fit.f_stat, f_stat),
                            (fit.p, p)):
            assert close(ours, float(exact)), (clusters, ours, float(exact))
        ytilde, xtilde, ztilde = residuals
        assert close(record.trait_squares, float(sum(v * v for v in ytilde)))
        assert close(record.stat_observed[1], float(exact_statistic(xtilde, ztilde, ytilde)))
        # the donors that CLUSTER_DRAWS give within the clusters (the
        # random stream does not depend on the covariates)
        exceed = Fraction(0)
        t_obs = exact_statistic(xtilde, ztilde, ytilde)
        for r, given in enumerate(donors[lists], 1):
            received = [ytilde[d - 1] for d in given]
            t = exact_statistic(xtilde, ztilde, received)
            assert close(record.stat_permuted[r][1], float(t)), (r, record.stat_permuted[r][1], t)
            assert close(record.permuted_squares[r], record.trait_squares)
            exceed += 1 if t > t_obs else Fraction(1, 2) if t == t_obs else 0
        assert record.stat_permuted[1][1] == record.stat_observed[1]  # the identity ties exactly
        assert record.exceed[1] == exceed and record.near_ties[1] >= 1
        fields = run.table_text.split("\n")[1].split("\t")
        assert fields[13] == ref.shortest_g((float(exceed) + 1.0) / 4.0)


def test_covariate_study_with_groups_matches_hand_worked_values():
    # One covariate c = (1, 4, 2, 8, 5, 7), clusters a = {1, 3, 5, 6} and
    # b = {2, 4}.  The regression of the trait (13, 7, 11, 9, 9, 11) on 1, c,
    # [b], x = (1, -1, 0, 1, -1, 1) and z = (0, 0, 1, 0, 0, 0) has the
    # coefficients 519/44, -13/44, -89/44, 16/11, -9/44 and leaves 1/11
    # (d = 1, sigma2 = 1/11); (X'X)^-1 has 5/22 and 271/176 at x and z, so
    # SE_ADD = sqrt(5/242), SE_DOM = sqrt(271/1936).  The covariates-only
    # model (coefficients 471/41, -16/123, -111/41) leaves 1166/123:
    # F = (1166/123 - 1/11) / 2 / (1/11) = 12703/246, P = sqrt(123/12826).
    # Its residual ytilde = (202, -155, -28, 155, -226, 52)/123 and the
    # codes' residuals xtilde = (128, -97, -8, 97, -170, 50)/123, ztilde =
    # (-50, -14, 80, 14, -22, -8)/123 give T_obs; the replicates' donors
    # (the identity, (3, 4, 1, 2, 5, 6), (3, 2, 1, 4, 5, 6)) a tie and two
    # smaller statistics: c = 1/2, EMP1 = 1.5/4.  Replicate 1's ratio is
    # the largest of each replicate's: EMP2 = 2/4.
    run = covariate_study_run("a\nb\na\nb\na\na\n", [[v] for v in COVARIATE_VALUES])
    assert run.table_text.split("\n")[1] == \
        ".\t.\t1\t.\t.\t0.583333\t6\t1.45455\t0.14374\t-0.204545\t0.374138\t51.6382" \
        "\t0.097928\t0.375\t0.5"
    assert ref.c_format_g(math.sqrt(5.0 / 242.0)) == "0.14374"
    assert ref.c_format_g(math.sqrt(271.0 / 1936.0)) == "0.374138"
    assert ref.c_format_g(math.sqrt(123.0 / 12826.0)) == "0.097928"
    assert run.record.exceed[1] == 0.5


def test_without_covariates_nothing_changes():
    run = run_cluster_study()[2]
    with tempfile.TemporaryDirectory() as folder:
        write_files(folder, dict(CLUSTER_STUDY, **{"clusters.txt": CLUSTER_FILE}))
        again = ref.run_full(folder, with_table=True, rng=ScriptedGenerator(CLUSTER_DRAWS),
                             clusters_file=os.path.join(folder, "clusters.txt"),
                             covar_file=None)
    assert (again.table_text, again.stdout_text) == (run.table_text, run.stdout_text)
    assert again.record.covariates == 0 and again.record.rank == 1


def test_near_ties_of_a_degenerate_marker_are_every_replicate():
    # statistic_bound: Delta <= sum_xx * sum_zz and the explained sum of
    # squares is at most N times the largest squared trait value
    assert ref.statistic_bound(2.0, 3.0, column([1.0, -4.0, 2.0]), 3) == 2.0 * 3.0 * 3 * 16.0
    assert ref.near_tie(5.0, 5.0, 0.0) and not ref.near_tie(5.0, 5.0 + 1e-12, 0.0)
    assert ref.near_tie(1e-17, -2e-16, 1.0) and not ref.near_tie(1.0, 1.0 + 2e-9, 1.0)
    # a marker whose codes lie in Z's span (here all heterozygous with
    # covariates): its residuals are exactly zero, every replicate ties
    with tempfile.TemporaryDirectory() as folder:
        make_study.write_study(folder, 4, "degenerate", n=12, m=6, r_count=9)
        make_study.write_covariate_file(os.path.join(folder, "cov.txt"), 4, "x",
                                        [float(i) for i in range(12)], [[(0, 1)]] * 12, 2)
        run = ref.run_full(folder, with_table=True, covar_file=os.path.join(folder, "cov.txt"))
    record = run.record
    for j in range(1, 7):
        if run.fits[j].degenerate:
            assert record.near_ties[j] == 9 and run.emp2_near_ties[j] == 0
    assert any(run.fits[j].degenerate for j in range(1, 7))


def write_text(folder, name, text):
    path = os.path.join(folder, name)
    with open(path, "w", newline="") as handle:
        handle.write(text)
    return path


def test_covariate_file_forms():
    with tempfile.TemporaryDirectory() as folder:
        forms = {
            "no header": ("1 2.5\n-3 4e1\n\n.5 +6\n", ["COV1", "COV2"], False),
            "names": ("PC1 age\n1 2.5\n-3 4e1\n.5 +6", ["PC1", "age"], True),
            "#names": ("#PC1\tage\r\n1\t2.5\r\n-3 4e1\r\n.5 6\r\n", ["PC1", "age"], True),
        }
        for name, (text, names, header) in forms.items():
            table = ref.read_covariate_file(write_text(folder, "c.txt", text), 3)
            assert (table.names, table.header) == (names, header), name
            assert table.rows == [[1.0, 2.5], [-3.0, 40.0], [0.5, 6.0]], name
        # a first line of numbers or NA is data; NA and any -9 are missing
        # values; numbers are read as C reads them
        table = ref.read_covariate_file(write_text(folder, "c.txt", "NA 1\n-9 2\n3 -9.5\n"), 3)
        assert not table.header and table.rows == [[None, 1.0], [None, 2.0], [3.0, -9.5]]
        table = ref.read_covariate_file(write_text(folder, "c.txt", "-9.0 0x1p3\n-9e0 1.\n"
                                                   "+0 -.5E1\n"), 3)
        assert table.rows == [[None, 8.0], [None, 1.0], [0.0, -5.0]]
        path = write_text(folder, "c.txt", "a b\n1 2\nNA 3\n4 5\n")
        try:
            ref.covariate_rows(ref.read_covariate_file(path, 3), [0, 1], path)
        except ref.InputError as error:
            assert "missing" in str(error) and "individual 2" in str(error)
        else:
            raise AssertionError("a missing value in a study folder was accepted")
        assert ref.covariate_rows(ref.read_covariate_file(path, 3), [1], path) == [[2.0], [3.0],
                                                                                  [5.0]]
        bad = {"PC1 age\n1 2\n3 x7\n5 6\n": "age",     # not a number
               "1 2\n3 nan\n5 6\n": "2",               # nor is NaN
               "1 2\n3 inf\n5 6\n": "2",
               "1 2\n3\n5 6\n": "line 2",              # a short line
               "PC1 age\n1 2\n3 4\n": "2 lines",       # too few lines
               "1 2\n3 4\n5 6\n7 8\n": "4 lines",      # too many
               "# PC1 age\n1 2\n3 4\n5 6\n": "not 3",  # '#' starts the first name
               "#\n1 2\n2 3\n3 4\n": "not 1"}
        for text, named in bad.items():
            try:
                ref.read_covariate_file(write_text(folder, "c.txt", text), 3)
            except ref.InputError as error:
                assert named in str(error) and "c.txt" in str(error), (text, str(error))
            else:
                raise AssertionError("accepted %r" % text)


def test_covariate_names_choose_columns_in_order():
    with_header = ref.CovariateTable(["PC1", "PC2", "PC3", "age", "7"], [], True)
    plain = ref.CovariateTable(["COV1", "COV2", "COV3"], [], False)
    choose = ref.choose_covariates
    assert choose(with_header, None) == [0, 1, 2, 3, 4]
    assert choose(with_header, "age,PC1") == [3, 0]
    assert choose(with_header, "PC2-age") == [1, 2, 3]
    assert choose(with_header, "2-3,PC1") == [1, 2, 0]
    assert choose(with_header, "7") == [4]  # a name before a number
    assert choose(plain, "3,1") == [2, 0] and choose(plain, "1-3") == [0, 1, 2]
    for table, choice in ((with_header, "PC9"), (with_header, "age-PC1"), (plain, "4"),
                          (plain, "0"), (plain, "1,1"), (plain, "1-2,2"), (plain, ""),
                          (plain, "a-b"), (plain, "COV2")):  # no header, no names
        try:
            choose(table, choice)
        except ref.InputError:
            continue
        raise AssertionError("accepted %r" % choice)


def test_covariates_on_the_command_line():
    script = os.path.join(HERE, "strataperm_reference.py")
    with tempfile.TemporaryDirectory() as folder:
        clusters = os.path.join(folder, "clusters.txt")
        covariates = os.path.join(folder, "cov.txt")
        make_study.write_study(folder, 9, "two", clusters_file=clusters,
                               covariates_file=covariates, covariate_count=3)
        expected = {
            "all": ref.run_full(folder, with_table=True, covar_file=covariates),
            "chosen": ref.run_full(folder, with_table=True, covar_file=covariates,
                                   covar_names="3,1"),
            "within": ref.run_full(folder, with_table=True, covar_file=covariates,
                                   clusters_file=clusters),
        }
        arguments = {"all": [], "chosen": ["--covar-name", "3,1"], "within": ["--within", clusters]}
        for name, extra in arguments.items():
            completed = subprocess.run([sys.executable, script, "--table", "--covar", covariates]
                                       + extra, cwd=folder, stdout=subprocess.PIPE, check=True)
            with open(os.path.join(folder, "results.tsv"), encoding="latin-1") as handle:
                table = handle.read()
            assert (completed.stdout.decode("latin-1"), table) == \
                (expected[name].stdout_text, expected[name].table_text), name
        tables = {run.table_text for run in expected.values()}
        assert len(tables | {ref.run_full(folder, with_table=True).table_text}) == 4
        for extra, status in ((["--covar", covariates, "--adjustment", "sequential"], 2),
                              (["--covar-name", "1"], 2), (["--covar"], 2),
                              (["--covar", covariates, "--covar-name", "9"], 1),
                              (["--covar", os.path.join(folder, "none.txt")], 1)):
            bad = subprocess.run([sys.executable, script, "--table"] + extra, cwd=folder,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            assert bad.returncode == status, extra
        try:
            ref.run_full(folder, adjustment="sequential", covar_file=covariates)
        except ref.InputError:
            pass
        else:
            raise AssertionError("covariates with the sequential adjustment")


def test_generated_covariate_files_leave_the_study_alone():
    kinds_seen = set()
    for seed in range(1, 25):
        with tempfile.TemporaryDirectory() as folder:
            plain = os.path.join(folder, "plain")
            with_covariates = os.path.join(folder, "with")
            path = os.path.join(folder, "cov.txt")
            make_study.write_study(plain, seed, "missing")
            make_study.write_study(with_covariates, seed, "missing", covariates_file=path)
            assert sorted(os.listdir(plain)) == sorted(os.listdir(with_covariates))
            for name in os.listdir(plain):
                with open(os.path.join(plain, name)) as a, \
                        open(os.path.join(with_covariates, name)) as b:
                    assert a.read() == b.read()
            study = ref.read_parameters(plain, [])
            table = ref.read_covariate_file(path, study.n_individuals)
            assert 1 <= len(table.names) <= 5 and len(set(table.names)) == len(table.names)
            assert all(None not in row for row in table.rows)
            with open(path, newline="") as handle:
                text = handle.read()
            kinds_seen.add(("header" if table.header else "plain",
                            "#" if text.startswith("#") else "", "\t" in text))
            for k in range(len(table.names)):
                values = [row[k] for row in table.rows]
                assert len(set(values)) > 1 or table.names[k] == "dose", (seed, k)
    assert len(kinds_seen) >= 5, kinds_seen
    names, header, columns = make_study.write_covariate_file(
        os.devnull, 1, "one", [float(i) for i in range(30)], [[(0, 1)]] * 30, 5)
    assert len(names) == len(columns) == 5 and all(len(c) == 30 for c in columns)


STAND_IN_COVARIATES = """#!%(python)s
# Stands in for the program: "run [OPTIONS] FOLDER" runs the reference
# with --table in FOLDER, faulty in one way when asked.
import os, sys
sys.path.insert(0, %(here)r)
sys.dont_write_bytecode = True
sys.setrecursionlimit(10000)
import strataperm_reference as ref
fault = %(fault)r
folder, options = sys.argv[-1], sys.argv[2:-1]
if fault.startswith("ignore "):  # drop an option and its value
    name = fault[len("ignore "):]
    if name in options:
        k = options.index(name)
        del options[k:k + 2]
if fault == "other rounding":
    # the least squares by the normal equations of [1, columns], solved by
    # Gauss-Jordan elimination: other residuals, within rounding
    class NormalEquations:
        def __init__(self, columns, labels, n):
            self.n = n
            self.columns = [[0.0] + [1.0] * n] + [list(c) for c in columns]
            p = len(self.columns)
            a = [[ref.dot(u, v, n) for v in self.columns] + [float(r == c) for c in range(p)]
                 for r, u in enumerate(self.columns)]
            for c in range(p):
                pivot = max(range(c, p), key=lambda r: abs(a[r][c]))
                if abs(a[pivot][c]) <= 1e-12 * abs(a[c][c]):
                    raise ref.DependentColumn(labels[c - 1], "linearly dependent")
                a[c], a[pivot] = a[pivot], a[c]
                a[c] = [v / a[c][c] for v in a[c]]
                for r in range(p):
                    if r != c:
                        a[r] = [u - a[r][c] * v for u, v in zip(a[r], a[c])]
            self.inverse = [row[p:] for row in a]
            self.rank = p
        def residual(self, v):
            p = len(self.columns)
            xtv = [ref.dot(u, v, self.n) for u in self.columns]
            beta = [sum(self.inverse[r][c] * xtv[c] for c in range(p)) for r in range(p)]
            return [0.0] + [v[i] - sum(beta[k] * self.columns[k][i] for k in range(p))
                            for i in range(1, self.n + 1)]
    ref.LeastSquares = NormalEquations
if fault == "no group indicators":  # Z without them, as if the lists overlapped
    ref.partition_groups = lambda members, n: None
if fault == "no refusal":  # what it cannot fit, it runs without covariates
    run_full = ref.run_full
    def run_anyway(folder, **choices):
        try:
            return run_full(folder, **choices)
        except ref.InputError:
            choices["covar_file"] = None
            return run_full(folder, **choices)
    ref.run_full = run_anyway
os.chdir(folder)
sys.argv = ["strataperm_reference.py", "--table"] + options
sys.exit(ref.main())
"""


def test_covariate_comparison_passes_a_faithful_binary_and_catches_faulty_ones():
    import compare_with_reference as compare
    with tempfile.TemporaryDirectory() as workdir:
        programs = {}
        for fault in ("", "other rounding", "ignore --covar", "ignore --covar-name",
                      "ignore --within", "no group indicators", "no refusal"):
            path = os.path.join(workdir, "program_" + fault.replace(" ", "_"))
            with open(path, "w") as handle:
                handle.write(STAND_IN_COVARIATES % {"python": sys.executable, "here": HERE,
                                                    "fault": fault})
            os.chmod(path, 0o755)
            programs[fault] = path
        # studies with: (seed, regime), what they hold, the faults they catch
        studies = (((20, "two"), "2 columns, --covar-name 2", ("ignore --covar-name",
                                                         "no group indicators")),
                   ((38, "two"), "--within", ("ignore --within", "no group indicators")),
                   ((3, "overlap"), "2 columns", ("ignore --covar",)),
                   ((5, "degenerate"), "refusal: indicator", ("no refusal",)),
                   ((12, "overlap"), "refusal: text", ("no refusal",)))
        for (seed, regime), holds, faults in studies:
            for program in ("", "other rounding"):
                ok, report = compare.check_covariate_study(programs[program], workdir, seed,
                                                           regime)
                assert ok and report == [], (program, report)
            for fault in faults:
                ok, report = compare.check_covariate_study(programs[fault], workdir, seed, regime)
                assert not ok and holds in report[0], (fault, report)
                assert any(line.startswith("  ") for line in report[1:]), report
        # the share of cases with each choice
        cases = []
        for seed in range(1, 121):
            folder = os.path.join(workdir, "case")
            shutil.rmtree(folder, ignore_errors=True)
            regime = compare.COVARIATE_CYCLE[seed % len(compare.COVARIATE_CYCLE)]
            cases.append(compare.covariate_case(seed, regime, folder,
                                                os.path.join(folder, "input"))[1])
        assert 20 <= sum(c.clusters is not None for c in cases) <= 55
        assert 8 <= sum(c.refusal is not None for c in cases) <= 35
        assert 15 <= sum(c.choice is not None for c in cases) <= 60
        assert {c.columns for c in cases} >= {1, 2, 3, 4, 5}


def main():
    tests = [(name, obj) for name, obj in sorted(globals().items())
             if name.startswith("test_") and callable(obj)]
    for name, test in tests:
        test()
        print("ok   " + name)
    print("%d self-checks passed" % len(tests))


if __name__ == "__main__":
    main()
