#include "store/rbtree.h"

#include <cassert>

#include "store/change_epoch.h"
#include "store/crash_hook.h"
#include "store/tree_neighbours.h"
#include "store/tree_observer.h"

namespace quillmap {
namespace {

constexpr uint8_t kBlack = 0;
constexpr uint8_t kRed = 1;

// Node access by offset within one operation.
class Links {
 public:
  explicit Links(SlabPool* pool) : pool_(pool) {}
  RbtreeNode* at(uint64_t off) const { return _lfof_<RbtreeNode>(pool_, off); }
  uint64_t off(const RbtreeNode* n) const { return offset_of_record(pool_, n); }

 private:
  SlabPool* pool_;
};

// <0 when a orders before b, 0 when equal, >0 after.
int compare_nodes(const RbtreeNode* a, const RbtreeNode* b) {
  if (a->key_crc != b->key_crc) return a->key_crc < b->key_crc ? -1 : 1;
  return rbtree_compare_keys(node_key(a), a->key_len, node_key(b), b->key_len);
}

}  // namespace

RbtreeNode* rbtree_get(SlabPool* pool, TreeRoot* tree, const void* key, uint64_t len) {
  TrustedView view(pool);
  return const_cast<RbtreeNode*>(rbtree_find(view, tree, key, len));
}

void rbtree_left_rotate(SlabPool* pool, uint64_t* root, RbtreeNode* sentinel, RbtreeNode* node) {
  Links l(pool);
  const uint64_t x_off = l.off(node);
  const uint64_t y_off = node->right;
  RbtreeNode* y = l.at(y_off);
  // Mid-rotation either node may be reachable by no link; a successor's repair needs to know them.
  note_in_flight(2, x_off);
  note_in_flight(3, y_off);
  crash_step();
  node->right = y->left;
  crash_step();
  if (y->left != l.off(sentinel)) l.at(y->left)->parent = x_off;
  crash_step();
  y->parent = node->parent;
  if (x_off == *root) {
    crash_step();
    *root = y_off;
  } else {
    RbtreeNode* parent = l.at(node->parent);
    if (parent->left == x_off) {
      crash_step();
      parent->left = y_off;
    } else {
      crash_step();
      parent->right = y_off;
    }
  }
  crash_step();
  y->left = x_off;
  crash_step();
  node->parent = y_off;
}

void rbtree_right_rotate(SlabPool* pool, uint64_t* root, RbtreeNode* sentinel, RbtreeNode* node) {
  Links l(pool);
  const uint64_t x_off = l.off(node);
  const uint64_t y_off = node->left;
  RbtreeNode* y = l.at(y_off);
  // Mid-rotation either node may be reachable by no link; a successor's repair needs to know them.
  note_in_flight(2, x_off);
  note_in_flight(3, y_off);
  crash_step();
  node->left = y->right;
  crash_step();
  if (y->right != l.off(sentinel)) l.at(y->right)->parent = x_off;
  crash_step();
  y->parent = node->parent;
  if (x_off == *root) {
    crash_step();
    *root = y_off;
  } else {
    RbtreeNode* parent = l.at(node->parent);
    if (parent->right == x_off) {
      crash_step();
      parent->right = y_off;
    } else {
      crash_step();
      parent->left = y_off;
    }
  }
  crash_step();
  y->right = x_off;
  crash_step();
  node->parent = y_off;
}

namespace {

// The empty link where `node` belongs, found by the walk from the (non-empty) tree's root: below
// *parent, on its right when *right. false when a node with an equal key is in the tree.
bool walk_to_place(Links& l, const TreeRoot* tree, const RbtreeNode* node, RbtreeNode** parent, bool* right) {
  RbtreeNode* p = l.at(tree->root);
  for (;;) {
    const int cmp = compare_nodes(node, p);
    if (cmp == 0) return false;
    const uint64_t next = cmp < 0 ? p->left : p->right;
    if (next == tree->sentinel) {
      *parent = p;
      *right = cmp > 0;
      return true;
    }
    p = l.at(next);
  }
}

void link_node(SlabPool* pool, TreeRoot* tree, RbtreeNode* node) {
  Links l(pool);
  const uint64_t sentinel_off = tree->sentinel;
  RbtreeNode* sentinel = l.at(sentinel_off);
  const uint64_t node_off = l.off(node);
  uint64_t root = tree->root;

  if (root == sentinel_off) {
    crash_step();
    node->parent = sentinel_off;
    crash_step();
    node->left = sentinel_off;
    crash_step();
    node->right = sentinel_off;
    crash_step();
    node->color = kBlack;
    crash_step();
    tree->root = node_off;
    return;
  }

  RbtreeNode* parent = nullptr;
  bool right = false;
  if (neighbour_place(pool, tree, node, &parent, &right)) {
#ifndef NDEBUG
    RbtreeNode* walked = nullptr;
    bool walked_right = false;
    assert(walk_to_place(l, tree, node, &walked, &walked_right) && walked == parent && walked_right == right &&
           "the neighbours' place differs from the walk's");
#endif
  } else if (!walk_to_place(l, tree, node, &parent, &right)) {
    return;  // the key is present: leave the tree and the offered node alone
  }
  crash_step();
  (right ? parent->right : parent->left) = node_off;
  crash_step();
  node->parent = l.off(parent);
  crash_step();
  node->left = sentinel_off;
  crash_step();
  node->right = sentinel_off;
  crash_step();
  node->color = kRed;

  // Insertion fix-up. The root's parent is the black sentinel, so the loop stops below the root.
  RbtreeNode* x = node;
  while (l.off(x) != root && l.at(x->parent)->color == kRed) {
    RbtreeNode* p = l.at(x->parent);
    RbtreeNode* g = l.at(p->parent);
    if (x->parent == g->left) {
      RbtreeNode* uncle = l.at(g->right);
      if (uncle->color == kRed) {
        crash_step();
        p->color = kBlack;
        crash_step();
        uncle->color = kBlack;
        crash_step();
        g->color = kRed;
        x = g;
        continue;
      }
      if (l.off(x) == p->right) {
        x = p;
        rbtree_left_rotate(pool, &root, sentinel, x);
        p = l.at(x->parent);
        g = l.at(p->parent);
      }
      crash_step();
      p->color = kBlack;
      crash_step();
      g->color = kRed;
      rbtree_right_rotate(pool, &root, sentinel, g);
    } else {
      RbtreeNode* uncle = l.at(g->left);
      if (uncle->color == kRed) {
        crash_step();
        p->color = kBlack;
        crash_step();
        uncle->color = kBlack;
        crash_step();
        g->color = kRed;
        x = g;
        continue;
      }
      if (l.off(x) == p->left) {
        x = p;
        rbtree_right_rotate(pool, &root, sentinel, x);
        p = l.at(x->parent);
        g = l.at(p->parent);
      }
      crash_step();
      p->color = kBlack;
      crash_step();
      g->color = kRed;
      rbtree_left_rotate(pool, &root, sentinel, g);
    }
  }
  crash_step();
  l.at(root)->color = kBlack;
  crash_step();
  tree->root = root;
}

}  // namespace

void rbtree_insert(SlabPool* pool, TreeRoot* tree, RbtreeNode* node) {
  link_node(pool, tree, node);
  // A node with an equal key stays unlinked, with the zero parent of its fresh chunk.
  if (node->parent != 0) {
    neighbour_linked(pool, tree, node);
    note_linked(pool, node);
  }
}

void rbtree_delete(SlabPool* pool, TreeRoot* tree, RbtreeNode* node) {
  note_unlinking(pool, node);
  const uint64_t successor = neighbour_unlinking(pool, tree, node);
  Links l(pool);
  const uint64_t sentinel_off = tree->sentinel;
  RbtreeNode* sentinel = l.at(sentinel_off);
  const uint64_t node_off = l.off(node);
  uint64_t root = tree->root;

  RbtreeNode* subst;
  RbtreeNode* temp;
  if (node->left == sentinel_off) {
    if (node->right == 0) return;  // already taken out
    subst = node;
    temp = l.at(node->right);
  } else if (node->right == sentinel_off) {
    if (node->left == 0) return;
    subst = node;
    temp = l.at(node->left);
  } else {
    // A node already taken out has all its links 0: finding one ends the deletion unchanged.
    if (node->right == 0) return;
    uint64_t s = node->right;
    if (successor != 0 && l.at(successor)->left == sentinel_off) {
      // The tree copy named the successor: no walk down the right subtree's left links.
#ifndef NDEBUG
      while (s != 0 && l.at(s)->left != sentinel_off) s = l.at(s)->left;
      assert(s == successor && "the copy's successor differs from the walk's");
#endif
      s = successor;
    } else {
      while (l.at(s)->left != sentinel_off) {
        s = l.at(s)->left;
        if (s == 0) return;
      }
    }
    subst = l.at(s);
    temp = l.at(subst->right);
  }
  const uint64_t subst_off = l.off(subst);
  const uint64_t temp_off = l.off(temp);
  note_in_flight(1, subst_off);  // spliced out of its place, for a moment reachable by no link

  if (subst_off == root) {
    // The root with at most one child: its child (or the sentinel) becomes the root.
    tree->root = temp_off;
    crash_step();
    temp->color = kBlack;
    crash_step();
    temp->parent = sentinel_off;
    node->key_crc = 0;
    crash_step();
    node->left = 0;
    crash_step();
    node->right = 0;
    crash_step();
    node->parent = 0;
    return;
  }

  const uint8_t removed_color = subst->color;
  RbtreeNode* subst_parent = l.at(subst->parent);
  if (subst_parent->left == subst_off) {
    crash_step();
    subst_parent->left = temp_off;
  } else {
    crash_step();
    subst_parent->right = temp_off;
  }

  if (subst == node) {
    crash_step();
    temp->parent = subst->parent;
  } else {
    crash_step();
    temp->parent = subst->parent == node_off ? subst_off : subst->parent;
    // The successor takes the node's place whole; nothing is copied between the chunks.
    subst->left = node->left;
    crash_step();
    subst->right = node->right;
    crash_step();
    subst->parent = node->parent;
    crash_step();
    subst->color = node->color;
    if (node_off == root) {
      root = subst_off;
    } else {
      RbtreeNode* np = l.at(node->parent);
      if (np->left == node_off) {
        crash_step();
        np->left = subst_off;
      } else {
        crash_step();
        np->right = subst_off;
      }
    }
    crash_step();
    if (subst->left != sentinel_off) l.at(subst->left)->parent = subst_off;
    crash_step();
    if (subst->right != sentinel_off) l.at(subst->right)->parent = subst_off;
  }

  node->key_crc = 0;
  crash_step();
  node->left = 0;
  crash_step();
  node->right = 0;
  crash_step();
  node->parent = 0;

  if (removed_color == kRed) {
    crash_step();
    tree->root = root;
    return;
  }

  // Deletion fix-up from temp, which carries an extra black.
  while (l.off(temp) != root && temp->color == kBlack) {
    RbtreeNode* p = l.at(temp->parent);
    if (l.off(temp) == p->left) {
      RbtreeNode* w = l.at(p->right);
      if (w->color == kRed) {
        crash_step();
        w->color = kBlack;
        crash_step();
        p->color = kRed;
        rbtree_left_rotate(pool, &root, sentinel, p);
        w = l.at(p->right);
      }
      if (l.at(w->left)->color == kBlack && l.at(w->right)->color == kBlack) {
        crash_step();
        w->color = kRed;
        temp = p;
      } else {
        if (l.at(w->right)->color == kBlack) {
          crash_step();
          l.at(w->left)->color = kBlack;
          crash_step();
          w->color = kRed;
          rbtree_right_rotate(pool, &root, sentinel, w);
          w = l.at(p->right);
        }
        crash_step();
        w->color = p->color;
        crash_step();
        p->color = kBlack;
        crash_step();
        l.at(w->right)->color = kBlack;
        rbtree_left_rotate(pool, &root, sentinel, p);
        temp = l.at(root);
      }
    } else {
      RbtreeNode* w = l.at(p->left);
      if (w->color == kRed) {
        crash_step();
        w->color = kBlack;
        crash_step();
        p->color = kRed;
        rbtree_right_rotate(pool, &root, sentinel, p);
        w = l.at(p->left);
      }
      if (l.at(w->left)->color == kBlack && l.at(w->right)->color == kBlack) {
        crash_step();
        w->color = kRed;
        temp = p;
      } else {
        if (l.at(w->left)->color == kBlack) {
          crash_step();
          l.at(w->right)->color = kBlack;
          crash_step();
          w->color = kRed;
          rbtree_left_rotate(pool, &root, sentinel, w);
          w = l.at(p->left);
        }
        crash_step();
        w->color = p->color;
        crash_step();
        p->color = kBlack;
        crash_step();
        l.at(w->left)->color = kBlack;
        rbtree_right_rotate(pool, &root, sentinel, p);
        temp = l.at(root);
      }
    }
  }
  crash_step();
  temp->color = kBlack;
  crash_step();
  tree->root = root;
}

}  // namespace quillmap
